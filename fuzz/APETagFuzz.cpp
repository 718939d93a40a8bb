// The APE tag store over bytes in memory: footer search, the ID3v1 footer,
// the item walk and the value cleaning.
#include <cstdlib>
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "tags/APETag.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dov;
  TAPETags tags("fuzz.ape",
                std::make_unique<TMemoryStream>(std::string(fuzz::AsBytes(data, size))));
  if (tags.Count() < 0 || tags.Count() > TAPETags::kMaxItems) std::abort();
  if (!tags.HasAPETag() && tags.Count() != 0) std::abort();
  for (const TAPEItem& item : tags.Items()) {
    if (item.ValuePos > size) std::abort();
    // A text item is cleaned: of the control bytes only the marks of a line
    // break (0x01, 0x02) and the form feed are left; a comment keeps its lines.
    if (!IsRawItem(item) && item.Name != "Comment")
      for (char c : item.Value)
        if (c >= 0 && c < 0x20 && c != 0x01 && c != 0x02 && c != 0x0C) std::abort();
    MarkedToWide(item.Name);
    MarkedToWide(item.Value);
  }
  for (const char* name : {"Artist", "Title", "Genre", "Duration"})
    MarkedToWide(tags.GetValue(name));
  return 0;
}
