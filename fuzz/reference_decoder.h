// A plain, byte-at-a-time statement of the form decoding rules, kept apart
// from the real decoder so that the fuzzer can compare the two.
#pragma once

#include <map>
#include <string>

inline int referenceDigit(unsigned char v) { return v <= 57 ? v - 48 : v <= 90 ? v - 55 : v - 87; }

inline void referenceStore(std::map<std::string, std::string>& store, const std::string& name,
                           const std::string& value) {
  auto found = store.find(name);
  if (found == store.end()) {
    store[name] = value;
  } else {
    found->second += ";" + value;
  }
}

inline std::map<std::string, std::string> referenceDecode(const std::string& input, bool dropCR) {
  std::map<std::string, std::string> store;
  std::string name, value;
  std::string* target = &name;
  int state = 0, high = 0;
  for (const char c : input) {
    const auto v = static_cast<unsigned char>(c);
    if (state == 1) {
      if (v == '%') {
        *target += '%';
        state = 0;
      } else {
        high = referenceDigit(v);
        state = 2;
      }
    } else if (state == 2) {
      const int sum = ((16 * high + referenceDigit(v)) % 256 + 256) % 256;
      state = 0;
      if (!(dropCR && sum == 13)) *target += static_cast<char>(sum);
    } else if (v == '%') {
      state = 1;
    } else if (v == '&') {
      referenceStore(store, name, value);
      name.clear();
      value.clear();
      target = &name;
    } else if (v == '+') {
      *target += ' ';
    } else if (v == '=') {
      target = &value;
    } else {
      *target += static_cast<char>(v);
    }
  }
  if (!name.empty()) referenceStore(store, name, value);
  return store;
}

// What a program reads of a body: carriage returns removed, the first 0x1A ends it.
inline std::string referenceTextInput(const std::string& raw) {
  std::string text;
  for (const char c : raw) {
    if (c == '\x1A') break;
    if (c != '\r') text += c;
  }
  return text;
}
