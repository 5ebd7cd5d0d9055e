// Form decoding library: the decoded form of the current request.
//
// decodeForm() fills formStore once, at the start of a request, from the query
// string of a GET request or from standard input for any other method. The
// programs only read the store afterwards. In a FastCGI worker the store is
// emptied, and its memory freed, when the request ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// An ordered map with unique keys from field name to field value, both byte
// strings that may hold any byte. Names are ordered byte by byte as unsigned
// values, a prefix before the longer name.
//
// Lookups go through a hash index and entries are kept in arrival order; the
// name order is worked out when the store is walked. So a million distinct
// fields cost one hash probe each instead of a walk down a tree. References to
// values stay valid while entries are added.
class FormStore {
 public:
  using Entry = std::pair<std::string, std::string>;

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = const Entry*;
    using reference = const Entry&;

    Iterator(const FormStore* store, std::size_t position) : store_(store), position_(position) {}
    const Entry& operator*() const { return store_->entry(store_->order_[position_]); }
    const Entry* operator->() const { return &**this; }
    Iterator& operator++() {
      ++position_;
      store_->prefetch(position_);
      return *this;
    }
    bool operator==(const Iterator& other) const { return position_ == other.position_; }
    bool operator!=(const Iterator& other) const { return position_ != other.position_; }

   private:
    const FormStore* store_;
    std::size_t position_;
  };

  // Find or add: the entry of `name`, added with an empty value when absent;
  // `added` tells which. An existing value is never replaced.
  Entry& findOrAdd(std::string_view name, bool& added);
  std::string& operator[](std::string_view name) {
    bool added;
    return findOrAdd(name, added).second;
  }
  bool contains(std::string_view name) const;
  std::size_t size() const { return size_; }

  // Works out the name order of the entries added so far; begin() does it
  // when needed, this does it ahead of time.
  void orderNames() const;

  // All entries in name order.
  Iterator begin() const;
  Iterator end() const { return Iterator(this, size_); }

  // Removes every entry and frees all memory the store holds.
  void clear();

 private:
  struct Slot {
    std::uint32_t hash;
    std::uint32_t entry;  // index + 1; 0 marks a free slot
  };

  std::size_t findSlot(std::string_view name, std::uint32_t hash) const;
  // Entries are walked in name order but lie in arrival order: ask for the
  // next ones early so that a long walk does not wait on memory at each step.
  void prefetch(std::size_t position) const {
    if (position + 16 < order_.size()) __builtin_prefetch(&entry(order_[position + 16]));
    if (position + 8 < order_.size()) {
      const Entry& soon = entry(order_[position + 8]);
      __builtin_prefetch(soon.first.data());
      __builtin_prefetch(soon.second.data());
    }
  }
  void growIndex();

  // Entries in arrival order, in blocks that never move, so that references
  // stay valid; an empty store allocates nothing.
  static constexpr std::size_t kBlockEntries = 16;
  Entry& entry(std::size_t index) const { return blocks_[index / kBlockEntries][index % kBlockEntries]; }

  std::vector<std::unique_ptr<Entry[]>> blocks_;
  std::size_t size_ = 0;
  std::vector<Slot> slots_;
  mutable std::vector<std::uint32_t> order_;
};

extern FormStore formStore;

// Decodes the request's URL-encoded form data into formStore.
//
// Returns false, having read nothing, when CONTENT_TYPE is exactly
// "multipart/form-data" (there is no decoder for it). Also returns false when
// memory runs out while decoding, so that the caller answers nothing at all
// rather than a partial listing. Returns true in every other case, also when
// there was nothing to decode.
//
// With dropCR, a carriage return produced by a %XX escape is discarded.
bool decodeForm(bool dropCR);
