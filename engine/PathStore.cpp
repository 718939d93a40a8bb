#include "engine/PathStore.h"

#include <algorithm>

namespace dov {

uint64_t TByteChunks::Append(std::string_view bytes) {
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < bytes.size()) {
    chunks_.emplace_back();
    chunks_.back().reserve(std::max(kChunkBytes, bytes.size()));
  }
  std::vector<char>& chunk = chunks_.back();
  const uint64_t position = (static_cast<uint64_t>(chunks_.size() - 1) << kOffsetBits) |
                            static_cast<uint64_t>(chunk.size());
  chunk.insert(chunk.end(), bytes.begin(), bytes.end());
  return position;
}

const char* TByteChunks::At(uint64_t position) const {
  const uint64_t offsetMask = (uint64_t{1} << kOffsetBits) - 1;
  return chunks_[static_cast<size_t>(position >> kOffsetBits)].data() + (position & offsetMask);
}

char* TByteChunks::At(uint64_t position) {
  return const_cast<char*>(static_cast<const TByteChunks*>(this)->At(position));
}

void AppendPacked(std::string& out, std::u16string_view text) {
  for (char16_t unit : text) {
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
}

size_t PackedSize(std::u16string_view text) {
  size_t size = 0;
  for (char16_t unit : text) size += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
  return size;
}

void AppendUnpacked(std::u16string& out, const char* bytes, size_t size) {
  const auto* at = reinterpret_cast<const unsigned char*>(bytes);
  const auto* end = at + size;
  while (at < end) {
    const unsigned lead = *at++;
    if (lead < 0x80) {
      out.push_back(static_cast<char16_t>(lead));
    } else if (lead < 0xE0) {
      out.push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | (at[0] & 0x3F)));
      at += 1;
    } else {
      out.push_back(
          static_cast<char16_t>(((lead & 0x0F) << 12) | ((at[0] & 0x3F) << 6) | (at[1] & 0x3F)));
      at += 2;
    }
  }
}

void AppendVarint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

uint64_t ReadVarint(const char*& bytes) {
  uint64_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*bytes++);
    value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return value;
  }
}

// A record: the folder's number, the packed name's size, the packed name.
uint64_t TPathStore::Add(std::u16string_view path) {
  const size_t nameStart = path.rfind(u'/') + 1;  // 0 without a folder
  scratch_.clear();
  const std::u16string_view name = path.substr(nameStart);
  AppendVarint(scratch_, folders_.IdOf(path.substr(0, nameStart)));
  AppendVarint(scratch_, PackedSize(name));
  AppendPacked(scratch_, name);
  return names_.Append(scratch_);
}

std::u16string TPathStore::Path(uint64_t handle) const {
  const char* record = names_.At(handle);
  std::u16string path = folders_.Text(static_cast<uint32_t>(ReadVarint(record)));
  const size_t size = static_cast<size_t>(ReadVarint(record));
  AppendUnpacked(path, record, size);
  return path;
}

void TPathStore::Clear() {
  folders_.Clear();
  names_.Clear();
}

}  // namespace dov
