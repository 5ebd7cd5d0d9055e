#include <algorithm>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "formlib/form.h"
#include "formlib/url_decoder.h"
#include "platform/environment.h"
#include "platform/request.h"
#include "platform/text_stdio.h"

namespace {

// Escape digits are not checked: every byte has a value, and a pair of bytes
// that are not hexadecimal still decodes to some byte.
int escapeDigit(unsigned char byte) {
  if (byte <= '9') return byte - 48;
  if (byte <= 'Z') return byte - 55;
  return byte - 87;
}

// Conversion to unsigned char reduces the sum modulo 256, negative sums included.
unsigned char escapedByte(int highDigit, unsigned char low) {
  return static_cast<unsigned char>(16 * highDigit + escapeDigit(low));
}

// The bytes that end a run of text: "%", "&" and "=".
struct RunEndTable {
  bool has[256] = {};
  constexpr RunEndTable() {
    for (const char c : {'%', '&', '='}) has[static_cast<unsigned char>(c)] = true;
  }
};
constexpr RunEndTable kRunEnd;

// Copies the text from `next` up to the next "%", "&" or "=" to `out`, each
// "+" as a space, and returns its length. Whole blocks are copied ahead of the
// scan: `out` never runs ahead of `next`, so the bytes past the run land in
// space that the chunk's own later bytes will overwrite.
std::size_t copyTextRun(const unsigned char* next, const unsigned char* end, char* out) {
  const unsigned char* const start = next;
#ifdef __SSE2__
  const __m128i percent = _mm_set1_epi8('%');
  const __m128i ampersand = _mm_set1_epi8('&');
  const __m128i equals = _mm_set1_epi8('=');
  const __m128i plus = _mm_set1_epi8('+');
  const __m128i space = _mm_set1_epi8(' ');
  for (; end - next >= 16; next += 16, out += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next));
    const __m128i plusses = _mm_cmpeq_epi8(block, plus);
    const __m128i text = _mm_or_si128(_mm_andnot_si128(plusses, block), _mm_and_si128(plusses, space));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), text);
    const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, percent), _mm_cmpeq_epi8(block, ampersand)),
                                      _mm_cmpeq_epi8(block, equals));
    if (const int found = _mm_movemask_epi8(ends)) {
      return static_cast<std::size_t>(next - start) + static_cast<std::size_t>(__builtin_ctz(found));
    }
  }
#endif
  for (; next < end && !kRunEnd.has[*next]; ++next) *out++ = *next == '+' ? ' ' : static_cast<char>(*next);
  return static_cast<std::size_t>(next - start);
}

bool sameName(const std::string& stored, std::string_view name) {
  if (stored.size() != name.size()) return false;
  if (name.size() > 16) return std::memcmp(stored.data(), name.data(), name.size()) == 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (stored[i] != name[i]) return false;
  }
  return true;
}

// Values up to this size are copied into the store so that the decoder keeps
// its buffer; longer ones are handed over whole.
constexpr std::size_t kCopiedValueSize = 4096;

// Makes room for `more` bytes. Past 1 MiB a string grows up to eightfold (at
// most 512 MiB at a time) instead of twofold: it is copied less often, and
// capacity that is never written takes no memory. Where the larger block
// cannot be had, the string grows the usual way.
void reserveFor(std::string& text, std::size_t more) {
  const std::size_t needed = text.size() + more;
  const std::size_t capacity = text.capacity();
  if (needed <= capacity || capacity < (std::size_t{1} << 20)) return;
  try {
    text.reserve(std::max(needed, capacity + std::min(7 * capacity, std::size_t{512} << 20)));
  } catch (const std::bad_alloc&) {
  }
}

// A repeated name's value: the stored value, ";", and the new one.
void appendJoined(std::string& stored, std::string_view value) {
  reserveFor(stored, value.size() + 1);
  stored.push_back(';');
  stored.append(value);
}

bool isMultipart(const char* contentType) {
  return contentType != nullptr && std::strcmp(contentType, "multipart/form-data") == 0;
}

bool isGetRequest(const char* method) { return method != nullptr && std::strcmp(method, "GET") == 0; }

void decodeStandardInput(UrlDecoder& decoder) {
  static char block[1 << 16];
  while (std::size_t length = readTextInput(block, sizeof block)) decoder.feed(block, length);
}

void releaseForm() { formStore.clear(); }

}  // namespace

char UrlDecoder::decoded_[UrlDecoder::kChunk];
char UrlDecoder::pending_[UrlDecoder::kChunk];
bool UrlDecoder::exists_;

UrlDecoder::UrlDecoder(bool dropCR) : dropCR_(dropCR) {
  if (exists_) {
    // A second decoder would write over the first one's pair: a bug, never input.
    std::fputs("UrlDecoder: only one decoder may exist at a time\n", stderr);
    std::abort();
  }
  exists_ = true;
}

UrlDecoder::~UrlDecoder() { exists_ = false; }

void UrlDecoder::feed(const char* bytes, std::size_t length) {
  while (length > 0) {
    const std::size_t chunk = std::min(length, kChunk);
    decodeChunk(bytes, chunk);
    bytes += chunk;
    length -= chunk;
  }
}

// One byte of an escape: the byte after "%", or the second digit.
char* UrlDecoder::continueEscape(unsigned char byte, char* out) {
  if (escape_ == Escape::percentRead) {
    if (byte == '%') {
      *out++ = '%';  // "%%" stands for one "%"
      escape_ = Escape::none;
    } else {
      highDigit_ = escapeDigit(byte);
      escape_ = Escape::highDigitRead;
    }
    return out;
  }
  escape_ = Escape::none;
  return putEscaped(highDigit_, byte, out);
}

// The byte of a finished escape; with dropCR a carriage return is left out.
char* UrlDecoder::putEscaped(int highDigit, unsigned char low, char* out) const {
  const unsigned char decoded = escapedByte(highDigit, low);
  if (!(dropCR_ && decoded == '\r')) *out++ = static_cast<char>(decoded);
  return out;
}

void UrlDecoder::decodeChunk(const char* bytes, std::size_t length) {
  const auto* next = reinterpret_cast<const unsigned char*>(bytes);
  const auto* const end = next + length;
  char* out = decoded_;
  // The current pair's bytes in this chunk: the name from pairStart to
  // nameEnd (or to out), the value from nameEnd to out once "=" was read.
  char* pairStart = out;
  char* nameEnd = out;
  // An escape that the previous chunk cut off.
  while (next < end && escape_ != Escape::none) out = continueEscape(*next++, out);

  while (next < end) {
    const std::size_t run = copyTextRun(next, end, out);
    out += run;
    next += run;
    if (next == end) break;
    const unsigned char syntax = *next;
    if (syntax == '%') {
      if (end - next >= 3) {
        if (next[1] == '%') {
          *out++ = '%';  // "%%" stands for one "%"
          next += 2;
        } else {
          out = putEscaped(escapeDigit(next[1]), next[2], out);
          next += 3;
        }
      } else {
        // The chunk ends inside the escape.
        escape_ = Escape::percentRead;
        ++next;
        while (next < end && escape_ != Escape::none) out = continueEscape(*next++, out);
      }
    } else if (syntax == '&') {
      if (!inValue_) nameEnd = out;
      std::string_view name(pairStart, static_cast<std::size_t>(nameEnd - pairStart));
      std::string_view value(nameEnd, static_cast<std::size_t>(out - nameEnd));
      if (!name_.empty()) name = name_.append(name);
      if (!value_.empty()) value = value_.append(value);
      storePair(name, value);
      pairStart = nameEnd = out;
      ++next;
    } else {
      // Every "=" outside an escape ends the name; a second one is dropped.
      if (!inValue_) {
        nameEnd = out;
        inValue_ = true;
      }
      ++next;
    }
  }
  appendPending();
  // Keep what the chunk holds of an unfinished pair.
  if (!inValue_) nameEnd = out;
  name_.append(pairStart, static_cast<std::size_t>(nameEnd - pairStart));
  reserveFor(value_, static_cast<std::size_t>(out - nameEnd));
  value_.append(nameEnd, static_cast<std::size_t>(out - nameEnd));
}

void UrlDecoder::finish() {
  escape_ = Escape::none;
  if (!name_.empty()) storePair(name_, value_);
  appendPending();
}

void UrlDecoder::appendPending() {
  if (pendingLength_ == 0) return;
  reserveFor(lastStored_->second, pendingLength_);
  lastStored_->second.append(pending_, pendingLength_);
  pendingLength_ = 0;
}

void UrlDecoder::storePair(std::string_view name, std::string_view value) {
  // A name repeated pair after pair (a group of check boxes, say) skips the lookup.
  if (lastStored_ != nullptr && sameName(lastStored_->first, name)) {
    gatherRepeatedValue(value);
  } else {
    appendPending();
    bool added = false;
    lastStored_ = &formStore.findOrAdd(name, added);
    std::string& stored = lastStored_->second;
    if (!added) {
      appendJoined(stored, value);
    } else if (value.data() == value_.data() && value_.size() > kCopiedValueSize) {
      stored = std::move(value_);
    } else {
      stored.assign(value);
    }
  }
  name_.clear();
  value_.clear();
  inValue_ = false;
}

// Queues ";value" for lastStored_ in pending_, or appends a value too long for it.
void UrlDecoder::gatherRepeatedValue(std::string_view value) {
  if (pendingLength_ + 1 + value.size() > kChunk) appendPending();
  if (1 + value.size() > kChunk) {
    appendJoined(lastStored_->second, value);
    return;
  }
  pending_[pendingLength_] = ';';
  std::memcpy(pending_ + pendingLength_ + 1, value.data(), value.size());
  pendingLength_ += 1 + value.size();
}

bool decodeForm(bool dropCR) {
  // A worker's next request starts from an empty store, and an idle worker holds no form.
  atRequestEnd(releaseForm);
  if (isMultipart(findEnvironmentValue("CONTENT_TYPE"))) return false;
  const bool get = isGetRequest(findEnvironmentValue("REQUEST_METHOD"));
  try {
    UrlDecoder decoder(dropCR);
    if (get) {
      const char* query = findEnvironmentValue("QUERY_STRING");
      if (query == nullptr) return true;
      decoder.feed(query, std::strlen(query));
    } else {
      decodeStandardInput(decoder);
    }
    decoder.finish();
    // Now, while running out of memory can still be answered.
    formStore.orderNames();
    return true;
  } catch (const std::bad_alloc&) {
    // The decoder sets no limit on a field's length; when memory runs out the
    // program must answer nothing rather than a truncated form.
    return false;
  }
}
