// The M3U reader, or with DOV_FUZZ_PLS the PLS reader, over a playlist file
// in a scratch folder. Beside it stand files an entry may name: a short MPEG
// audio file, the same one in a subfolder, and playlists naming this one, so
// that entries are resolved, measured and nested.
#include <cstdlib>
#include <exception>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "info/AudioFiles.h"

namespace {

using namespace dov;

#if defined(DOV_FUZZ_PLS)
constexpr const char* kPlaylist = "list.pls";
#else
constexpr const char* kPlaylist = "list.m3u";
#endif

// Three MPEG-1 Layer III frames of 128 kbit/s at 44.1 kHz (417 bytes each).
std::string ShortMpegFile() {
  std::string frame(417, '\0');
  frame[0] = '\xFF';
  frame[1] = '\xFB';
  frame[2] = '\x90';
  frame[3] = '\x44';
  return frame + frame + frame;
}

const std::string& Folder() {
  static const std::string folder = [] {
    const std::string f = fuzz::ScratchFolder();
    const std::string mpeg = ShortMpegFile();
    fuzz::PutFile(f + "/a.mp3", mpeg);
    std::filesystem::create_directory(f + "/sub");
    fuzz::PutFile(f + "/sub/b.mp3", mpeg);
    fuzz::PutFile(f + "/sub/up.m3u", "../a.mp3\n../" + std::string(kPlaylist) + "\n");
    fuzz::PutFile(f + "/nested.m3u", "#EXTM3U\r\n" + std::string(kPlaylist) + "\r\na.mp3\r\n");
    fuzz::PutFile(f + "/nested.pls", "[playlist]\nFile1=" + std::string(kPlaylist) +
                                         "\nFile2=sub/b.mp3\nFile3=nested.m3u\n");
    return f;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Folder() + "/" + kPlaylist;
  fuzz::PutFile(path, fuzz::AsBytes(data, size));
  const std::string name = fuzz::Marked(path);
  constexpr int32_t kUnset = 12345;
  int32_t length = kUnset;
  std::string address, title, kind;
  bool ok = false;
  try {
#if defined(DOV_FUZZ_PLS)
    std::string part2, part3;
    int32_t webFile = 0, preload = 0;
    ok = ReadPLS(name, address, title, webFile, preload, length, part3, part2);
    fuzz::UseValues({part2, part3});
#else
    ok = ReadM3U(name, address, title, length, kind);
#endif
  } catch (const std::exception&) {
    // The readers may pass a reading error on; the dispatcher catches it.
    return 0;
  }
  fuzz::UseValues({address, title, kind});
  // A playlist that cannot be read leaves the length alone.
  if (!ok && length != kUnset) std::abort();
  // What the dispatcher answers: never 0.
  if (GetFileDuration(name, nullptr) == 0) std::abort();
  return 0;
}
