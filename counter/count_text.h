// The visit count as decimal text at the start of a data file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reads a count the way "%d" does (white space, an optional sign, digits),
// fed block by block; a number beyond 32 bits reads as the nearest limit.
class CountScanner {
 public:
  // Scans the next bytes; returns true once the number has ended.
  bool feed(const char* bytes, std::size_t length);

  // The count read, 0 when no number could be converted.
  int count() const;
  // Where the number's last digit ends in the file; 0 when none was converted.
  std::int64_t numberEnd() const { return converted() ? offset_ : 0; }
  bool converted() const { return digits_ > 0; }

 private:
  enum class Stage { space, sign, digits, done };
  Stage stage_ = Stage::space;
  bool negative_ = false;
  std::int64_t magnitude_ = 0;  // saturates just past the 32-bit range
  std::int64_t digits_ = 0;
  std::int64_t offset_ = 0;
};

// The count after one more visit; the largest count stays where it is.
int nextCount(int count);

// The count as "%d" writes it.
std::string countText(int count);

// Whether writing `newText` over the start of the file must also cut the file
// after it: when digits of the old number, or a digit right behind the new
// text, would otherwise join the new count at the next read.
bool rewriteNeedsCut(const CountScanner& old, const std::string& newText, int byteAfterNewText);
