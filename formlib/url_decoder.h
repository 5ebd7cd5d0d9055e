// The URL-encoded form decoder behind decodeForm(), fed block by block.
//
// It keeps only the pair being decoded, so a body of any size streams through
// it; an escape or a pair may be split across blocks. Pairs are merged into
// formStore as they end.
#pragma once

#include <cstddef>
#include <string>

class UrlDecoder {
 public:
  explicit UrlDecoder(bool dropCR);

  // Decodes the next bytes of the input.
  void feed(const char* bytes, std::size_t length);

  // Ends the input: an unfinished escape is dropped, and the last pair is
  // stored unless its name is empty.
  void finish();

 private:
  enum class Escape { none, percentRead, highDigitRead };

  void storePair();

  bool dropCR_;
  std::string name_;
  std::string value_;
  std::string* target_ = &name_;
  Escape escape_ = Escape::none;
  int highDigit_ = 0;
};
