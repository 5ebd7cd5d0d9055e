#include <algorithm>
#include <cstring>

#include "formlib/form.h"
#include "formlib/name_hash.h"

FormStore formStore;

namespace {

std::uint32_t hash32(std::string_view name) { return static_cast<std::uint32_t>(hashName(name)); }

// Eight bytes of a name from `offset` as a big-endian number, zeros past its end.
std::uint64_t orderWord(const std::string& name, std::size_t offset) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < 8 && offset + i < name.size(); ++i) {
    word |= std::uint64_t{static_cast<unsigned char>(name[offset + i])} << (56 - 8 * i);
  }
  return word;
}

}  // namespace

std::size_t FormStore::findSlot(std::string_view name, std::uint32_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.entry == 0) return i;
    if (slot.hash == hash && entry(slot.entry - 1).first == name) return i;
  }
}

void FormStore::growIndex() {
  std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.entry == 0) continue;
    std::size_t i = slot.hash & mask;
    while (slots_[i].entry != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

FormStore::Entry& FormStore::findOrAdd(std::string_view name, bool& added) {
  // Keep the index at most half full.
  if (2 * (size_ + 1) > slots_.size()) growIndex();
  const std::uint32_t hash = hash32(name);
  Slot& slot = slots_[findSlot(name, hash)];
  added = slot.entry == 0;
  if (added) {
    if (size_ % kBlockEntries == 0) blocks_.push_back(std::make_unique<Entry[]>(kBlockEntries));
    entry(size_).first.assign(name);
    slot = Slot{hash, static_cast<std::uint32_t>(++size_)};
  }
  return entry(slot.entry - 1);
}

bool FormStore::contains(std::string_view name) const {
  return !slots_.empty() && slots_[findSlot(name, hash32(name))].entry != 0;
}

void FormStore::orderNames() const {
  if (order_.size() == size_) return;
  // The first 16 bytes of each name, as two numbers that compare like the
  // bytes, order most names without going back to the entries.
  struct Key {
    std::uint64_t high;
    std::uint64_t low;
    std::uint32_t entry;
  };
  std::vector<Key> keys;
  keys.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) {
    const std::string& name = entry(i).first;
    keys.push_back(Key{orderWord(name, 0), orderWord(name, 8), static_cast<std::uint32_t>(i)});
  }
  std::sort(keys.begin(), keys.end(), [this](const Key& a, const Key& b) {
    if (a.high != b.high) return a.high < b.high;
    if (a.low != b.low) return a.low < b.low;
    return entry(a.entry).first < entry(b.entry).first;  // unsigned bytes, prefix first
  });
  order_.resize(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) order_[i] = keys[i].entry;
}

FormStore::Iterator FormStore::begin() const {
  orderNames();
  return Iterator(this, 0);
}

void FormStore::clear() {
  // Swapped with empty ones, the containers give their memory back too.
  std::vector<std::unique_ptr<Entry[]>>().swap(blocks_);
  std::vector<Slot>().swap(slots_);
  std::vector<std::uint32_t>().swap(order_);
  size_ = 0;
}
