#include "tags/ASFHeader.h"

namespace dov {

bool ReadASFHeader(TByteReader& reader, TASFHeader& header) {
  header = TASFHeader();
  if (reader.Take(16) != GuidBytes(kASFHeaderObject)) return false;
  const uint64_t size = reader.U64LE();
  header.ObjectCount = reader.U32LE();
  reader.Skip(2);
  const int64_t streamSize = reader.Size();
  // A header size that cannot be right is not used.
  header.End = size >= static_cast<uint64_t>(kASFHeaderObjectSize) &&
                       size <= static_cast<uint64_t>(streamSize)
                   ? static_cast<int64_t>(size)
                   : streamSize;
  return true;
}

}  // namespace dov
