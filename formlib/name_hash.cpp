#include "formlib/name_hash.h"

#include <sys/random.h>

#include <cstring>
#include <ctime>

namespace {

std::uint64_t rotate(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotate(v1, 13) ^ v0;
    v0 = rotate(v0, 32);
    v2 += v3;
    v3 = rotate(v3, 16) ^ v2;
    v0 += v3;
    v3 = rotate(v3, 21) ^ v0;
    v2 += v1;
    v1 = rotate(v1, 17) ^ v2;
    v2 = rotate(v2, 32);
  }

  void absorb(std::uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

std::uint64_t littleEndianWord(const unsigned char* bytes, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) word |= std::uint64_t{bytes[i]} << (8 * i);
  return word;
}

// A random key per process, fetched on first use.
const std::uint64_t* processKey() {
  static std::uint64_t key[2];
  static bool ready = false;
  if (!ready) {
    if (getrandom(key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key)) {
      key[0] = static_cast<std::uint64_t>(std::time(nullptr)) ^ reinterpret_cast<std::uintptr_t>(&key);
      key[1] = static_cast<std::uint64_t>(clock()) * 0x9E3779B97F4A7C15ULL;
    }
    ready = true;
  }
  return key;
}

}  // namespace

// SipHash-1-3.
std::uint64_t hashName(std::string_view name) {
  const std::uint64_t* key = processKey();
  SipState s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL, key[0] ^ 0x6c7967656e657261ULL,
             key[1] ^ 0x7465646279746573ULL};
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t whole = name.size() & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    s.absorb(word);
  }
  s.absorb(littleEndianWord(bytes + whole, name.size() - whole) | (std::uint64_t{name.size()} << 56));
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
