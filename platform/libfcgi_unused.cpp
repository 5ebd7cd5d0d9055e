// libfcgi's client side, which connects to a FastCGI server by host name
// (cgi-fcgi uses it), names gethostbyname. Linked statically, glibc's would
// bring its whole name-service machinery into every program and add to each
// CGI start, and a worker never connects anywhere: this one finds no host.
#include <netdb.h>

extern "C" hostent* gethostbyname(const char*) {
  h_errno = HOST_NOT_FOUND;
  return nullptr;
}
