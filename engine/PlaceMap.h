// A number kept for each place a dry run has met, compactly: a job of a
// million files meets two million places, and their text is mostly the same
// few folders. A place is split at its last '/': the folder part is kept once
// and numbered, the rest once a place, together with its value, in chunks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/PathStore.h"

namespace dov {

class TPlaceMap {
 public:
  // The value of a place; 0 when none was set.
  uint64_t Get(std::string_view place) const;
  void Set(std::string_view place, uint64_t value);

 private:
  struct TKey {
    uint32_t Folder = 0;
    std::string_view Name;
    uint64_t Hash = 0;
  };
  TKey KeyOf(uint32_t folder, std::string_view name) const;
  // The slot that holds the key, or the empty slot where it would go.
  size_t SlotOf(const TKey& key) const;
  bool Holds(uint64_t slot, const TKey& key) const;
  // The value's bytes in the record the slot names.
  char* ValueOf(uint64_t slot) const;
  void Grow();

  TInterned<std::string> folders_;
  // Each record: the folder's number, the name's size, the name, 8 bytes of value.
  mutable TByteChunks records_;
  // Open addressing: 0 is empty, else the high 16 bits of the key's hash
  // above the record's position plus one.
  std::vector<uint64_t> slots_;
  size_t count_ = 0;
  std::string scratch_;  // the record being made, kept to spare an allocation a place
};

}  // namespace dov
