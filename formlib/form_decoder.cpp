#include "formlib/url_decoder.h"

#include <cstring>
#include <new>

#include "formlib/form.h"
#include "platform/environment.h"
#include "platform/text_stdio.h"

namespace {

// Escape digits are not checked: every byte has a value, and a pair of bytes
// that are not hexadecimal still decodes to some byte.
int escapeDigit(unsigned char byte) {
  if (byte <= '9') return byte - 48;
  if (byte <= 'Z') return byte - 55;
  return byte - 87;
}

// Bytes with a meaning outside an escape: '%', '&', '+' and '='.
bool isFormSyntax(unsigned char byte) {
  return byte == '%' || byte == '&' || byte == '+' || byte == '=';
}

bool isMultipart(const char* contentType) {
  return contentType != nullptr && std::strcmp(contentType, "multipart/form-data") == 0;
}

bool isGetRequest(const char* method) { return method != nullptr && std::strcmp(method, "GET") == 0; }

void decodeStandardInput(UrlDecoder& decoder) {
  static char block[1 << 16];
  while (std::size_t length = readTextInput(block, sizeof block)) decoder.feed(block, length);
}

}  // namespace

UrlDecoder::UrlDecoder(bool dropCR) : dropCR_(dropCR) {}

void UrlDecoder::feed(const char* bytes, std::size_t length) {
  const char* next = bytes;
  const char* const end = bytes + length;
  while (next < end) {
    const unsigned char byte = static_cast<unsigned char>(*next);
    if (escape_ == Escape::percentRead) {
      ++next;
      if (byte == '%') {
        target_->push_back('%');
        escape_ = Escape::none;
      } else {
        highDigit_ = escapeDigit(byte);
        escape_ = Escape::highDigitRead;
      }
    } else if (escape_ == Escape::highDigitRead) {
      ++next;
      escape_ = Escape::none;
      // Conversion to unsigned char reduces the sum modulo 256, negative sums included.
      const auto decoded = static_cast<unsigned char>(16 * highDigit_ + escapeDigit(byte));
      if (!(dropCR_ && decoded == '\r')) target_->push_back(static_cast<char>(decoded));
    } else if (isFormSyntax(byte)) {
      ++next;
      if (byte == '%') {
        escape_ = Escape::percentRead;
      } else if (byte == '&') {
        storePair();
      } else if (byte == '+') {
        target_->push_back(' ');
      } else {
        target_ = &value_;  // every '=' outside an escape, a second one too
      }
    } else {
      // Append a whole run of plain bytes at once.
      const char* run = next;
      while (next < end && !isFormSyntax(static_cast<unsigned char>(*next))) ++next;
      target_->append(run, static_cast<std::size_t>(next - run));
    }
  }
}

void UrlDecoder::finish() {
  escape_ = Escape::none;
  if (!name_.empty()) storePair();
}

void UrlDecoder::storePair() {
  auto place = formStore.lower_bound(name_);
  if (place != formStore.end() && place->first == name_) {
    place->second.push_back(';');
    place->second.append(value_);
  } else {
    formStore.emplace_hint(place, std::move(name_), std::move(value_));
  }
  name_.clear();
  value_.clear();
  target_ = &name_;
}

bool decodeForm(bool dropCR) {
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
    return true;
  } catch (const std::bad_alloc&) {
    // The decoder sets no limit on a field's length; when memory runs out the
    // program must answer nothing rather than a truncated form.
    return false;
  }
}
