#include "engine/RenameEngine.h"

#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "common/DOVTnt.h"
#include "engine/ReadAhead.h"
#include "tags/APETag.h"

namespace dov {
namespace {

constexpr std::u16string_view kSupportedExtensions[] = {
    u".mp3", u".wav", u".m4a", u".mp4", u".flac", u".ogg", u".mp2", u".mp4a", u".wma", u".ape"};

constexpr std::u16string_view kInvalidNameChars = u"\"*/:<>?\\|";

// Control characters are replaced like the invalid ones: invisible in a
// listing, and a line feed or an escape in a name misleads every later tool.
bool IsControlChar(char16_t c) {
  return c < 0x20 || c == 0x7F;
}

// The character that stands in for the invalid ones. A '/' or a control
// character can never be part of a name here ('/' would lead the file into
// other folders), so those give way to '_'.
char16_t NameReplacement(char16_t wanted) {
  return wanted == u'/' || IsControlChar(wanted) ? u'_' : wanted;
}

// A name that begins with a dot is hidden on Linux, and the walk passes over
// hidden files: ".45 Horizon - Night Drive.mp3" would vanish from view and
// from every later job. Its leading dots give way to '_'.
std::u16string WithoutLeadingDots(std::u16string name) {
  for (char16_t& c : name) {
    if (c != u'.') break;
    c = u'_';
  }
  return name;
}

void WithTrailingSlash(std::u16string& path) {
  if (path.empty() || path.back() != u'/') path.push_back(u'/');
}

locale_t FoldingLocale() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

char16_t Fold(char16_t c) {
  if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;  // halves of pairs and escaped bytes stay
  locale_t locale = FoldingLocale();
  if (locale == static_cast<locale_t>(nullptr)) return c;
  wint_t lower = towlower_l(static_cast<wint_t>(c), locale);
  return lower <= 0xFFFF ? static_cast<char16_t>(lower) : c;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool SamePathIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

std::u16string FoldCase(std::u16string_view text) {
  std::u16string folded(text);
  for (char16_t& c : folded) c = Fold(c);
  return folded;
}

bool IsCaseOnlyChange(std::u16string_view oldPath, std::u16string_view newPath) {
  const size_t slash = oldPath.rfind(u'/') + 1;  // 0 without a folder
  if (newPath.rfind(u'/') + 1 != slash || oldPath.substr(0, slash) != newPath.substr(0, slash))
    return false;
  return SamePathIgnoringCase(oldPath.substr(slash), newPath.substr(slash));
}

bool TRenameEngine::IsSupportedAudioFile(std::u16string_view fileName, std::u16string& ext) {
  size_t dot = fileName.rfind(u'.');
  ext = dot == std::u16string_view::npos ? std::u16string() : std::u16string(fileName.substr(dot));
  for (char16_t& c : ext)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  for (std::u16string_view supported : kSupportedExtensions)
    if (ext == supported) return true;
  return false;
}

void TRenameEngine::ReadNameTags(const std::u16string& path, std::u16string& artist,
                                 std::u16string& title, std::u16string& genre, int* openError,
                                 TFileFacts* facts, std::unique_ptr<TDOVFileStream> opened) {
  artist.clear();
  title.clear();
  genre.clear();
  // The store opens only a file that exists, and a store without a file has
  // no fields: no test of its own is needed here.
  std::optional<TAPETags> store;
  if (opened != nullptr)
    store.emplace(WideToMarked(path), std::unique_ptr<TStream>(std::move(opened)));
  else
    store.emplace(WideToMarked(path), int8_t{3});
  TAPETags& tags = *store;
  if (openError != nullptr) *openError = tags.OpenError();
  if (facts != nullptr) {
    const auto* file = dynamic_cast<const TDOVFileStream*>(tags.Stream());
    *facts = file != nullptr ? file->Facts() : TFileFacts{};
  }
  try {
    if (tags.NeedsContainerTags()) tags.ImportContainerTags(TAPETags::TImportScope::NameFields);
  } catch (const std::exception&) {
    return;  // a file whose tags cannot be read is skipped
  }
  if (tags.Count() <= 0) return;
  artist = MarkedToWide(tags.GetValue("Artist"));
  title = MarkedToWide(tags.GetValue("Title"));
  genre = MarkedToWide(tags.GetValue("Genre"));
}

std::u16string TRenameEngine::ReplaceInvalidChars(std::u16string_view name, char16_t replacement) {
  std::u16string result(name);
  for (char16_t& c : result)
    if (IsControlChar(c) || kInvalidNameChars.find(c) != std::u16string_view::npos) c = replacement;
  return result;
}

// A genre becomes one folder name under the destination: no separators, and
// never "." or "..", so that a tag cannot steer a file elsewhere, nor hidden.
std::u16string TRenameEngine::GenreFolder(std::u16string genre) const {
  if (genre.empty()) genre = u"Unknown";
  genre = ReplaceInvalidChars(genre, NameReplacement(options_.ReplaceChar));
  if (genre == u"." || genre == u"..") genre = u"Unknown";
  return WithoutLeadingDots(genre);
}

void TRenameEngine::ListFile(const std::u16string& folder, const std::u16string& name, bool plain,
                             int& count) {
  std::u16string ext;
  if (!IsSupportedAudioFile(name, ext)) return;
  std::u16string oldPath = folder + name;
  TNameTags tags;
  if (readAhead_ == nullptr || !readAhead_->Take(oldPath, tags))
    ReadNameTags(oldPath, tags.Artist, tags.Title, tags.Genre, &tags.OpenError, &tags.Facts);
  auto& [artist, title, genre, openError, facts] = tags;
  if (openError != 0) unreadableFiles_.push_back({oldPath, openError});
  if (artist.empty() && title.empty() && genre.empty()) {
    const ESkipKind kind = openError != 0 ? ESkipKind::Unreadable : ESkipKind::NoNameTags;
    skippedFiles_.push_back({oldPath, std::u16string(), kind, openError});
    return;
  }

  const bool toGenreFolder = options_.Move || options_.Copy;
  std::u16string destRoot;
  if (toGenreFolder) {
    destRoot = options_.DestFolder;
    WithTrailingSlash(destRoot);
    genre = GenreFolder(genre);
    fileOps_.CreateFolders(destRoot + genre);
    genre.push_back(u'/');
  }
  std::u16string newPath = oldPath;
  if (options_.Rename && (!artist.empty() || !title.empty())) {
    std::u16string newName = artist.empty() ? title : artist + u" - " + title;
    newName =
        WithoutLeadingDots(ReplaceInvalidChars(newName, NameReplacement(options_.ReplaceChar)));
    newPath = (toGenreFolder ? destRoot + genre : folder) + newName + ext;
  } else if (toGenreFolder) {
    newPath = destRoot + genre + name;
  }
  if (!IsCaseOnlyChange(oldPath, newPath)) {
    renameList_.Append(oldPath, newPath);
    // What the open found holds for the entry itself only when it is no link.
    fileOps_.ExpectOperation(oldPath, newPath, options_.Copy, options_.Move,
                             plain ? facts : TFileFacts{});
    if (count % 100 == 0) view_.ShowStatus({EJobStep::Listing, count});
    ++count;
  } else {
    skippedFiles_.push_back({oldPath, newPath, ESkipKind::CaseOnly, 0});
  }
  view_.Repaint();
}

// The destination is never walked, however its path is written ("out",
// "./out", "a//out", through a linked parent): the same folder is the same
// device and inode. It may be made during the walk, so it is looked up anew.
bool TRenameEngine::IsDestination(const std::u16string& folder) const {
  if (folder == options_.DestFolder) return true;
  struct stat dest {
  }, here{};
  return ::stat(WideToNative(options_.DestFolder).c_str(), &dest) == 0 &&
         ::stat(WideToNative(folder).c_str(), &here) == 0 && dest.st_dev == here.st_dev &&
         dest.st_ino == here.st_ino;
}

void TRenameEngine::CollectFiles(std::u16string folder, int& count) {
  WithTrailingSlash(folder);
  std::string nativeFolder = WideToNative(folder);
  std::unique_ptr<DIR, DirCloser> dir(::opendir(nativeFolder.c_str()));
  if (!dir) {
    // It contributes nothing; the caller hears of it unless it just vanished.
    const int error = errno;
    if (folder.size() > 1) folder.pop_back();  // the slash added above
    if (error != ENOENT) unreadableFolders_.push_back({folder, error});
    return;
  }
  while (dirent* entry = ::readdir(dir.get())) {
    const char* nativeName = entry->d_name;
    if (nativeName[0] == '\0' || nativeName[0] == '.') continue;  // hidden, "." and ".."
    EEntryKind kind = EntryKindOf(nativeFolder, nativeName, entry->d_type);
    std::u16string name = NativeToWide(nativeName);
    if (kind == EEntryKind::Folder) {
      if (!options_.Subfolders) continue;
      std::u16string subfolder = folder + name;
      if (IsDestination(subfolder)) continue;
      CollectFiles(subfolder, count);
    } else if (kind == EEntryKind::File) {
      ListFile(folder, name, entry->d_type == DT_REG, count);
    }
  }
}

int TRenameEngine::Collect(const TRenameOptions& options) {
  options_ = options;
  renameList_.Clear();
  unreadableFolders_.clear();
  unreadableFiles_.clear();
  skippedFiles_.clear();
  int total = 0;
  // The walk's next files are read meanwhile on a pool of threads.
  TReadAhead readAhead(
      {options_.SourceFolder, options_.Subfolders,
       [](const std::u16string& name) {
         std::u16string ext;
         return IsSupportedAudioFile(name, ext);
       },
       [this](const std::u16string& folder) { return IsDestination(folder); },
       [](const std::u16string& path, std::unique_ptr<TDOVFileStream> opened, TNameTags& tags) {
         ReadNameTags(path, tags.Artist, tags.Title, tags.Genre, &tags.OpenError, &tags.Facts,
                      std::move(opened));
       }});
  readAhead_ = &readAhead;
  struct TForget {
    TReadAhead*& pointer;
    ~TForget() { pointer = nullptr; }
  } forget{readAhead_};
  CollectFiles(options_.SourceFolder, total);
  return total;
}

TJobResult TRenameEngine::Run(const TRenameOptions& options) {
  TJobResult result;
  view_.SetProgress(0);
  result.Total = Collect(options);
  view_.SetProgressMax(result.Total);
  // The copies are known now, in order: they may be written ahead.
  struct TPlanEnd {
    IFileOps& ops;
    ~TPlanEnd() { ops.ExpectCopies({}); }
  } planEnd{fileOps_};
  size_t planned = 0;
  if (options_.Copy)
    fileOps_.ExpectCopies([this, &planned, total = static_cast<size_t>(result.Total)](
                              std::u16string& from, std::u16string& to) {
      if (planned >= total) return false;
      from = renameList_[planned].OldPath;
      to = renameList_[planned].NewPath;
      ++planned;
      return true;
    });
  for (int i = 0; i < result.Total; ++i) {
    const TRenameEntry entry = renameList_[static_cast<size_t>(i)];
    errno = 0;
    bool ok = options_.Copy ? fileOps_.CopyFile(entry.OldPath, entry.NewPath)
                            : fileOps_.MoveFile(entry.OldPath, entry.NewPath, options_.Move);
    // An operation that fails without saying why still fails.
    renameList_.SetOutcome(static_cast<size_t>(i), ok, ok ? 0 : errno != 0 ? errno : EIO);
    if (ok) {
      ++result.Done;
      if (i % 25 == 0) {
        view_.ShowStatus({EJobStep::Operating, result.Done});
        view_.Repaint();
      }
    }
    view_.SetProgress(i + 1);
  }
  view_.ShowStatus({EJobStep::Finished, result.Done, result.Total});
  return result;
}

}  // namespace dov
