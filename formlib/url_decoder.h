// The URL-encoded form decoder behind decodeForm(), fed block by block.
//
// It keeps only the pair being decoded, so a body of any size streams through
// it; an escape or a pair may be split across blocks. Pairs are merged into
// formStore as they end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "formlib/form.h"

// Only one decoder may exist at a time, since they share their buffers;
// constructing a second one aborts the program.
class UrlDecoder {
 public:
  explicit UrlDecoder(bool dropCR);
  ~UrlDecoder();
  UrlDecoder(const UrlDecoder&) = delete;
  UrlDecoder& operator=(const UrlDecoder&) = delete;

  // Decodes the next bytes of the input.
  void feed(const char* bytes, std::size_t length);

  // Ends the input: an unfinished escape is dropped, and the last pair is
  // stored unless its name is empty.
  void finish();

 private:
  enum class Escape { none, percentRead, highDigitRead };
  static constexpr std::size_t kChunk = 1 << 14;

  void decodeChunk(const char* bytes, std::size_t length);
  char* continueEscape(unsigned char byte, char* out);
  char* putEscaped(int highDigit, unsigned char low, char* out) const;
  void storePair(std::string_view name, std::string_view value);
  void gatherRepeatedValue(std::string_view value);
  void appendPending();

  bool dropCR_;
  // The pair that a chunk boundary cut, decoded so far.
  std::string name_;
  std::string value_;
  bool inValue_ = false;
  Escape escape_ = Escape::none;
  int highDigit_ = 0;
  FormStore::Entry* lastStored_ = nullptr;
  // The working buffers are shared by all decoders (one decodes at a time):
  // in static storage only the pages written are touched, which keeps a
  // small request's start-up as cheap as a program without them.
  // The current chunk decoded; decoding never makes more bytes than it reads.
  // A pair that lies wholly inside a chunk is stored straight from here.
  static char decoded_[kChunk];
  // ";value" pieces still to be appended to lastStored_, gathered so that a
  // long run of one repeated name costs one append per chunk.
  static char pending_[kChunk];
  std::size_t pendingLength_ = 0;
  static bool exists_;
};
