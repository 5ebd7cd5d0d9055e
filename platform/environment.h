// Environment lookup by CGI variable name.
#pragma once

// The value of the first environment entry whose name equals `name`, ASCII
// letters compared without regard to case (a web server may hand over names
// in any case). Returns nullptr when there is no such entry, which is not the
// same as a present but empty variable.
const char* findEnvironmentValue(const char* name);
