/* The floor of a CGI request: a static C program that writes a fixed answer. */
#include <unistd.h>

int main(void) {
  static const char answer[] = "Content-Type: text/plain\r\n\r\nok\r\n";
  return write(1, answer, sizeof answer - 1) < 0;
}
