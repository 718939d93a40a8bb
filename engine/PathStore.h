// What the lists of a job that grow with every file are built of: paths kept
// compactly (a million files share some thousands of folders, so each folder
// is kept once and each path as its folder's number and its packed name), and
// containers that grow in fixed chunks instead of doubling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dov {

// Bytes appended in chunks of a fixed size, never moved once written: a large
// store grows without copying itself, and without the slack of a doubled
// buffer. A position names the bytes of one Append for as long as the store
// lives; the bytes of one Append stay together in one chunk.
class TByteChunks {
 public:
  uint64_t Append(std::string_view bytes);
  const char* At(uint64_t position) const;
  char* At(uint64_t position);
  void Clear() { chunks_.clear(); }

 private:
  static constexpr size_t kChunkBytes = 64 * 1024;
  static constexpr unsigned kOffsetBits = 24;  // an Append larger than a chunk starts at 0

  std::vector<std::vector<char>> chunks_;
};

// Items appended in chunks of a fixed count: growing never copies what is
// there, and leaves no slack larger than one chunk.
template <class T, size_t kChunkItems = 4096>
class TChunkedVector {
 public:
  void push_back(const T& item) {
    if (chunks_.empty() || chunks_.back().size() == kChunkItems) {
      chunks_.emplace_back();
      chunks_.back().reserve(kChunkItems);
    }
    chunks_.back().push_back(item);
    ++size_;
  }
  const T& operator[](size_t index) const {
    return chunks_[index / kChunkItems][index % kChunkItems];
  }
  T& operator[](size_t index) { return chunks_[index / kChunkItems][index % kChunkItems]; }
  size_t size() const { return size_; }
  void clear() {
    chunks_.clear();
    size_ = 0;
  }

 private:
  std::vector<std::vector<T>> chunks_;
  size_t size_ = 0;
};

// Hands out the items of a list that makes each whole as it is reached (by
// value, from its operator[]), in order.
template <class TList, class TItem>
class TIndexIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = TItem;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = TItem;

  TIndexIterator(const TList* list, size_t index) : list_(list), index_(index) {}
  TItem operator*() const { return (*list_)[index_]; }
  // it->Field: the item made whole lives as long as the expression.
  struct TArrow {
    TItem Item;
    const TItem* operator->() const { return &Item; }
  };
  TArrow operator->() const { return {**this}; }
  TIndexIterator& operator++() {
    ++index_;
    return *this;
  }
  TIndexIterator operator++(int) {
    TIndexIterator before = *this;
    ++index_;
    return before;
  }
  bool operator==(const TIndexIterator& other) const { return index_ == other.index_; }

 private:
  const TList* list_;
  size_t index_;
};

// Numbers for strings seen before: each distinct text is kept once.
template <class TText>
class TInterned {
 public:
  using TView = std::basic_string_view<typename TText::value_type>;

  uint32_t IdOf(TView text) {
    if (lastId_ < texts_.size() && texts_[lastId_] == text) return lastId_;
    auto [found, added] = ids_.emplace(TText(text), static_cast<uint32_t>(texts_.size()));
    if (added) texts_.push_back(found->first);
    lastId_ = found->second;
    return lastId_;
  }
  // The number of a text seen before; false when it was not.
  bool Find(TView text, uint32_t& id) const {
    if (lastId_ < texts_.size() && texts_[lastId_] == text) {
      id = lastId_;
      return true;
    }
    auto found = ids_.find(TText(text));
    if (found == ids_.end()) return false;
    id = found->second;
    return true;
  }
  const TText& Text(uint32_t id) const { return texts_[id]; }
  void Clear() {
    texts_.clear();
    ids_.clear();
    lastId_ = 0;
  }

 private:
  std::vector<TText> texts_;
  std::unordered_map<TText, uint32_t> ids_;
  uint32_t lastId_ = 0;  // paths come in walk order: the folder is mostly the last one
};

// The packing of a wide name: each UTF-16 unit as one to three bytes the way
// UTF-8 writes a character below U+10000, halves of pairs and escaped bytes
// (U+DC80..U+DCFF) alike, so that any wide text comes back unit for unit.
void AppendPacked(std::string& out, std::u16string_view text);
size_t PackedSize(std::u16string_view text);
// Appends the unpacked text of size bytes at bytes to out.
void AppendUnpacked(std::u16string& out, const char* bytes, size_t size);
// A number in 7-bit groups, low first, the top bit set on all but the last.
void AppendVarint(std::string& out, uint64_t value);
uint64_t ReadVarint(const char*& bytes);

// Wide paths, each stored as its folder's number (the text up to and with the
// last '/') and its packed name. Add returns a handle that gives the path
// back exactly.
class TPathStore {
 public:
  uint64_t Add(std::u16string_view path);
  std::u16string Path(uint64_t handle) const;
  void Clear();

 private:
  TInterned<std::u16string> folders_;
  TByteChunks names_;
  std::string scratch_;  // the record being packed, kept to spare an allocation a path
};

}  // namespace dov
