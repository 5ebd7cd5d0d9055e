#include "counter/count_text.h"

#include <climits>

namespace {

// The white space that "%d" skips in the C locale.
bool isScanfSpace(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }
bool isDigit(int byte) { return byte >= '0' && byte <= '9'; }

constexpr std::int64_t kSaturated = std::int64_t{INT_MAX} + 2;

}  // namespace

bool CountScanner::feed(const char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length && stage_ != Stage::done; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (stage_ == Stage::space && isScanfSpace(byte)) {
      ++offset_;
      continue;
    }
    if (stage_ == Stage::space) stage_ = Stage::sign;
    if (stage_ == Stage::sign) {
      stage_ = Stage::digits;
      if (byte == '-' || byte == '+') {
        negative_ = byte == '-';
        ++offset_;
        continue;
      }
    }
    if (!isDigit(byte)) {
      stage_ = Stage::done;
      break;
    }
    magnitude_ = magnitude_ * 10 + (byte - '0');
    if (magnitude_ > kSaturated) magnitude_ = kSaturated;
    ++digits_;
    ++offset_;
  }
  return stage_ == Stage::done;
}

int CountScanner::count() const {
  if (digits_ == 0) return 0;
  if (negative_) return magnitude_ > std::int64_t{INT_MAX} + 1 ? INT_MIN : static_cast<int>(-magnitude_);
  return magnitude_ > INT_MAX ? INT_MAX : static_cast<int>(magnitude_);
}

int nextCount(int count) { return count == INT_MAX ? count : count + 1; }

std::string countText(int count) { return std::to_string(count); }

bool rewriteNeedsCut(const CountScanner& old, const std::string& newText, int byteAfterNewText) {
  return old.numberEnd() > static_cast<std::int64_t>(newText.size()) || isDigit(byteAfterNewText);
}
