// The whole path a file takes: a file of some extension on disk, its tag
// store (the APE tag), the container import with the duration dispatcher,
// and the values the rename engine takes from it. The first byte of the input
// chooses the extension (see kExtensions), the rest is the file.
#include <array>
#include <cstdlib>
#include <string>

#include "engine/RenameEngine.h"
#include "fuzz/FuzzSupport.h"
#include "tags/APETag.h"

namespace {

using namespace dov;

// Keep in step with WHOLE_PATH_EXTENSIONS in fuzz/run-all, which prefixes the
// seeds with their extension's index.
constexpr std::array<const char*, 24> kExtensions = {
    ".mp3", ".mp2", ".wav", ".ogg", ".opus", ".flac", ".m4a", ".mp4",
    ".wma", ".ape", ".m3u", ".pls", ".aiff", ".aif",  ".avi", ".cda",
    ".mpg", ".asf", ".ots", ".mov", ".mp4a", ".mac",  ".wmv", ".mpeg"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string path =
      fuzz::ScratchFolder() + "/file" + kExtensions[data[0] % kExtensions.size()];
  fuzz::PutFile(path, fuzz::AsBytes(data + 1, size - 1));
  // As the engine's ReadNameTags does it.
  TAPETags tags(fuzz::Marked(path), 1);
  if (!tags.Opened() && size > 1 + TAPETags::kMinFileSize) std::abort();
  if (tags.NeedsContainerTags()) tags.ImportContainerTags();
  for (const TAPEItem& item : tags.Items()) {
    MarkedToWide(item.Name);
    MarkedToWide(item.Value);
  }
  // What the engine does with the three values it asks for.
  const std::u16string artist = MarkedToWide(tags.GetValue("Artist"));
  const std::u16string title = MarkedToWide(tags.GetValue("Title"));
  const std::u16string genre = MarkedToWide(tags.GetValue("Genre"));
  // New names hold no control character.
  for (const std::u16string& name :
       {TRenameEngine::ReplaceInvalidChars(artist + u" - " + title, u'_'),
        TRenameEngine::ReplaceInvalidChars(genre, u'_')}) {
    for (char16_t c : name)
      if (c < 0x20 || c == 0x7F) std::abort();
    WideToNative(name);
  }
  // A duration, when there is one, is a positive number of milliseconds.
  // (Only the import sets it; an APE tag may hold any text there.)
  const std::string duration = tags.GetValue("Duration");
  if (!tags.HasAPETag() && !duration.empty() && (duration[0] == '-' || duration == "0"))
    std::abort();
  return 0;
}
