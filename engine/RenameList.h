// The list of a rename job: every file whose path changes, in walk order,
// with the outcome of its operation. A job of a million files lists a million
// entries, so an entry is kept as two handles into a path store and its
// outcome, some dozens of bytes with its names; the whole paths are made
// again when an entry is looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/PathStore.h"

namespace dov {

struct TRenameEntry {
  std::u16string OldPath;
  std::u16string NewPath;
  std::optional<bool> Ok;  // unset until the operation pass tried it
  int Error = 0;           // why it failed (an errno value); 0 when it did not
};

class TRenameList {
 public:
  // Hands out each entry in order, made whole as it is reached.
  class TIterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = TRenameEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = TRenameEntry;

    TIterator(const TRenameList* list, size_t index) : list_(list), index_(index) {}
    TRenameEntry operator*() const { return (*list_)[index_]; }
    // it->Ok: the entry made whole lives as long as the expression.
    struct TArrow {
      TRenameEntry Entry;
      const TRenameEntry* operator->() const { return &Entry; }
    };
    TArrow operator->() const { return {**this}; }
    TIterator& operator++() {
      ++index_;
      return *this;
    }
    TIterator operator++(int) {
      TIterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const TIterator& other) const { return index_ == other.index_; }

   private:
    const TRenameList* list_;
    size_t index_;
  };

  void Append(std::u16string_view oldPath, std::u16string_view newPath);
  // Records what the operation of entry index did.
  void SetOutcome(size_t index, bool ok, int error);
  void Clear();

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  TRenameEntry operator[](size_t index) const;
  TIterator begin() const { return {this, 0}; }
  TIterator end() const { return {this, size_}; }

 private:
  enum EState : uint8_t { kNotTried, kOk, kFailed };
  struct TRecord {
    uint64_t OldPath = 0, NewPath = 0;  // handles into paths_
    int32_t Error = 0;
    EState State = kNotTried;
  };
  static constexpr size_t kChunkEntries = 4096;

  const TRecord& Record(size_t index) const;

  TPathStore paths_;
  // Fixed chunks rather than one vector: growing never copies the list, and
  // leaves no slack larger than one chunk.
  std::vector<std::vector<TRecord>> records_;
  size_t size_ = 0;
};

}  // namespace dov
