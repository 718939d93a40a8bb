#include "engine/PlaceMap.h"

#include <cstring>
#include <functional>

namespace dov {
namespace {

constexpr unsigned kPositionBits = 48;
constexpr uint64_t kPositionMask = (uint64_t{1} << kPositionBits) - 1;

uint64_t PositionOf(uint64_t slot) {
  return (slot & kPositionMask) - 1;
}

uint64_t FingerprintOf(uint64_t hash) {
  return hash >> kPositionBits << kPositionBits;
}

// The folder part (up to and with the last '/') and the name after it.
std::string_view FolderPart(std::string_view place) {
  return place.substr(0, place.rfind('/') + 1);
}

}  // namespace

TPlaceMap::TKey TPlaceMap::KeyOf(uint32_t folder, std::string_view name) const {
  uint64_t hash = std::hash<std::string_view>{}(name) ^ (folder * 0x9E3779B97F4A7C15ULL);
  hash ^= hash >> 29;
  hash *= 0xBF58476D1CE4E5B9ULL;
  hash ^= hash >> 32;
  return {folder, name, hash};
}

bool TPlaceMap::Holds(uint64_t slot, const TKey& key) const {
  if ((slot & ~kPositionMask) != FingerprintOf(key.Hash)) return false;
  const char* record = records_.At(PositionOf(slot));
  if (ReadVarint(record) != key.Folder || ReadVarint(record) != key.Name.size()) return false;
  return std::memcmp(record, key.Name.data(), key.Name.size()) == 0;
}

size_t TPlaceMap::SlotOf(const TKey& key) const {
  const size_t mask = slots_.size() - 1;
  size_t index = static_cast<size_t>(key.Hash) & mask;
  while (slots_[index] != 0 && !Holds(slots_[index], key)) index = (index + 1) & mask;
  return index;
}

char* TPlaceMap::ValueOf(uint64_t slot) const {
  char* record = records_.At(PositionOf(slot));
  const char* at = record;
  ReadVarint(at);
  const uint64_t size = ReadVarint(at);
  return record + (at - record) + size;
}

uint64_t TPlaceMap::Get(std::string_view place) const {
  const std::string_view folderPart = FolderPart(place);
  uint32_t folder = 0;
  if (slots_.empty() || !folders_.Find(folderPart, folder)) return 0;
  const uint64_t slot = slots_[SlotOf(KeyOf(folder, place.substr(folderPart.size())))];
  if (slot == 0) return 0;
  uint64_t value = 0;
  std::memcpy(&value, ValueOf(slot), sizeof value);
  return value;
}

void TPlaceMap::Set(std::string_view place, uint64_t value) {
  if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
  const std::string_view folderPart = FolderPart(place);
  const TKey key = KeyOf(folders_.IdOf(folderPart), place.substr(folderPart.size()));
  uint64_t& slot = slots_[SlotOf(key)];
  if (slot == 0) {
    scratch_.clear();
    AppendVarint(scratch_, key.Folder);
    AppendVarint(scratch_, key.Name.size());
    scratch_ += key.Name;
    scratch_.append(sizeof value, '\0');
    slot = FingerprintOf(key.Hash) | (records_.Append(scratch_) + 1);
    ++count_;
  }
  std::memcpy(ValueOf(slot), &value, sizeof value);
}

// Twice the slots, each record put where its hash leads now.
void TPlaceMap::Grow() {
  std::vector<uint64_t> old(slots_.empty() ? 1024 : slots_.size() * 2, 0);
  old.swap(slots_);
  for (uint64_t slot : old) {
    if (slot == 0) continue;
    const char* record = records_.At(PositionOf(slot));
    const auto folder = static_cast<uint32_t>(ReadVarint(record));
    const auto size = static_cast<size_t>(ReadVarint(record));
    slots_[SlotOf(KeyOf(folder, std::string_view(record, size)))] = slot;
  }
}

}  // namespace dov
