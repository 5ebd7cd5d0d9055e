// The request's variables: the process environment of a CGI program, or the
// parameters of the current FastCGI request.
#pragma once

// The request's variables as "NAME=value" entries in the order the server
// gave them, ending with a null pointer.
char** requestEnvironment();

// Makes `entries` the request's variables (a FastCGI worker, per request).
void useRequestEnvironment(char** entries);

// The value of the first entry whose name equals `name`, ASCII letters
// compared without regard to case (a web server may hand over names in any
// case). Returns nullptr when there is no such entry, which is not the same
// as a present but empty variable.
const char* findEnvironmentValue(const char* name);
