#include "platform/environment.h"

#include <cstring>

extern char** environ;

namespace {

// Null until a FastCGI request sets it: then the process environment is the request's.
char** requestEntries;

unsigned char foldAsciiCase(unsigned char byte) { return (byte >= 'a' && byte <= 'z') ? byte - ('a' - 'A') : byte; }

// True when `entry` starts with `name` (ignoring ASCII case) followed by "=".
bool entryHasName(const char* entry, const char* name, std::size_t nameLength) {
  for (std::size_t i = 0; i < nameLength; ++i) {
    // A shorter entry stops here too: its zero byte matches no name byte.
    if (foldAsciiCase(entry[i]) != foldAsciiCase(name[i])) return false;
  }
  return entry[nameLength] == '=';
}

}  // namespace

char** requestEnvironment() { return requestEntries != nullptr ? requestEntries : environ; }

void useRequestEnvironment(char** entries) { requestEntries = entries; }

const char* findEnvironmentValue(const char* name) {
  const std::size_t nameLength = std::strlen(name);
  for (char** entry = requestEnvironment(); entry != nullptr && *entry != nullptr; ++entry) {
    if (entryHasName(*entry, name, nameLength)) return *entry + nameLength + 1;
  }
  return nullptr;
}
