// A peer for the benchmark: Debian's TagLib reads Artist, Title, Genre and
// the play length (audio properties on) of every audio file under FOLDER.
//
//   dovbench-taglib FOLDER
//
// Prints "PATH<TAB>ARTIST<TAB>TITLE<TAB>GENRE<TAB>MILLISECONDS" per file
// (UTF-8; -1 when the length is not known).
#include <taglib/fileref.h>
#include <taglib/infotag.h>
#include <taglib/tag.h>
#include <taglib/wavfile.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kExtensions[] = {".mp3", ".wav", ".m4a",  ".mp4", ".flac",
                                            ".ogg", ".mp2", ".mp4a", ".wma", ".ape"};

bool IsAudio(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  for (std::string_view e : kExtensions)
    if (ext == e) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dovbench-taglib FOLDER\n");
    return 2;
  }
  namespace fs = std::filesystem;
  std::error_code error;
  fs::recursive_directory_iterator it(argv[1], error), end;
  int failed = 0;
  for (; it != end; it.increment(error)) {
    const fs::path& path = it->path();
    std::string name = path.filename().string();
    if (name[0] == '.') {
      if (it->is_directory(error)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(error) || !IsAudio(name)) continue;
    TagLib::FileRef file(path.c_str(), true, TagLib::AudioProperties::Average);
    if (file.isNull() || file.tag() == nullptr) {
      ++failed;
      continue;
    }
    const TagLib::Tag* tag = file.tag();
    // TagLib's WAV file answers its ID3v2 tag; the RIFF INFO tag is asked for.
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file.file());
        wav != nullptr && !wav->hasID3v2Tag() && wav->hasInfoTag())
      tag = wav->InfoTag();
    int length =
        file.audioProperties() != nullptr ? file.audioProperties()->lengthInMilliseconds() : -1;
    std::printf("%s\t%s\t%s\t%s\t%d\n", path.c_str(), tag->artist().toCString(true),
                tag->title().toCString(true), tag->genre().toCString(true), length);
  }
  return failed == 0 ? 0 : 1;
}
