// Tag values that try to steer a file: separators, "..", a leading ".", NUL
// and control bytes, names longer than the file system allows, values that
// are empty once cleaned. Whole jobs run through the engine and the real file
// operations on temporary folders; afterwards no file lies outside its
// folder, none is lost or doubled, and every failure is counted as unchanged.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/DOVTnt.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"
#include "tests/TestSupport.h"

namespace dov::test {
namespace {

namespace fs = std::filesystem;

// ---- Tagged files -------------------------------------------------------------

// The body of file number n: large enough for every reader, and different
// from every other file's, so that each file can be found by its bytes.
std::string Body(int n) {
  return "body " + std::to_string(n) + std::string(400, static_cast<char>('a' + n % 26));
}

// An APEv2 tag with the values as bytes (the store cleans them).
std::string WithApeTag(int n, const std::string& artist, const std::string& title,
                       const std::string& genre) {
  return Body(n) + ApeTag({{"Artist", artist}, {"Title", title}, {"Genre", genre}});
}

// An ID3v2.3 tag whose frames hold the values as UTF-16 with a byte-order
// mark, so that any code unit (NUL, a lone surrogate) reaches the reader.
std::string Utf16Frame(const char* id, const std::u16string& value) {
  std::string data = "\x01\xFF\xFE";
  for (char16_t c : value) data += U16LE(static_cast<uint16_t>(c));
  return std::string(id, 4) + U32BE(static_cast<uint32_t>(data.size())) + std::string(2, '\0') +
         data;
}

std::string WithId3Tag(int n, const std::u16string& artist, const std::u16string& title,
                       const std::u16string& genre) {
  std::string frames =
      Utf16Frame("TPE1", artist) + Utf16Frame("TIT2", title) + Utf16Frame("TCON", genre);
  frames += std::string(16, '\0');  // padding
  const uint32_t size = static_cast<uint32_t>(frames.size());
  std::string header = "ID3\x03";
  header += std::string(2, '\0');
  for (int shift : {21, 14, 7, 0}) header.push_back(static_cast<char>((size >> shift) & 0x7F));
  return header + frames + Body(n);
}

// ---- The hostile values -----------------------------------------------------------

struct HostileFile {
  const char* what;
  std::string bytes;
  // The new name, or the genre folder, is longer than a file name may be:
  // when the job renames, or moves or copies, the file stays where it is and
  // counts as unchanged.
  bool nameTooLong = false;
  bool genreTooLong = false;
};

std::vector<HostileFile> HostileFiles() {
  std::vector<HostileFile> files;
  int n = 0;
  auto ape = [&](const char* what, const std::string& a, const std::string& t, const std::string& g,
                 bool nameTooLong = false, bool genreTooLong = false) {
    files.push_back({what, WithApeTag(n++, a, t, g), nameTooLong, genreTooLong});
  };
  auto id3 = [&](const char* what, const std::u16string& a, const std::u16string& t,
                 const std::u16string& g) {
    files.push_back({what, WithId3Tag(n++, a, t, g)});
  };
  ape("separators", "AC/DC", "Back\\In/Black", "Rock/../../Pop");
  ape("parent folders", "..", "../../../../etc/passwd", "..");
  ape("only dots", "", "..", "../..");
  ape("a leading dot", ".hidden", ".profile", ".config");
  ape("a leading slash", "/", "/tmp/x", "/");
  ape("control bytes", "A\x01\x02rtist", "Ti\ttle\r\n", "Ge\x1Bnre");
  ape("NUL bytes", std::string("Art\0ist", 7), std::string("Ti\0/../tle", 10),
      std::string("Ro\0ck", 5));
  ape("empty after cleaning", "\x01\x02\x03", "\t\x01\x02", "\x7F");
  ape("a name of 255 bytes", std::string(124, 'A'), std::string(124, 'T'), "Long");
  ape("a name of 256 bytes", std::string(124, 'A'), std::string(125, 'T'), "Long", true);
  ape("a name far too long", std::string(250, 'A'), std::string(250, 'T'), "Long", true);
  ape(
      "a multi-byte name too long", std::string(100, 'A'),
      [] {
        std::string s;
        for (int i = 0; i < 80; ++i) s += "\xC3\xA9";  // 160 bytes of "é"
        return s;
      }(),
      "Long", true);
  ape("a genre too long for a folder", "Artist", "Genre too long", std::string(300, 'G'), false,
      true);
  ape("overlong UTF-8 slash", "\xC0\xAF..\xC0\xAF", "\xE0\x80\xAF", "\xC0\xAF");
  id3("UTF-16 separators and parents", u"../..", u"..\\..\\x", u"a/b/../c");
  id3("UTF-16 NUL inside", std::u16string(u"Art\0/../ist", 11), std::u16string(u"\0/etc", 5),
      std::u16string(u"Rock\0/x", 7));
  id3("UTF-16 lone surrogates", std::u16string(1, char16_t{0xD800}) + u"x",
      u"y" + std::u16string(1, char16_t{0xDC2F}), std::u16string(1, char16_t{0xDCAF}));
  id3("UTF-16 full-width solidus", u"A\uFF0FB", u"\u2215etc\u2215passwd", u"\u2044");
  return files;
}

// ---- Checks --------------------------------------------------------------------

// Every regular file under root, by its path relative to root.
std::map<std::string, std::string> FilesUnder(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_symlink() || !entry.is_regular_file()) continue;
    files[fs::relative(entry.path(), root).string()] = ReadFile(entry.path().string());
  }
  return files;
}

bool Inside(const std::string& path, const std::string& folder) {
  const std::string p = fs::weakly_canonical(path).string();
  const std::string f = fs::weakly_canonical(folder).string() + "/";
  return p.starts_with(f);
}

struct Job {
  bool rename, move, copy;
  char16_t replace;
};

class HostileNames : public ::testing::TestWithParam<Job> {};

TEST_P(HostileNames, NoFileLeavesItsFolderIsLostOrDoubledAndFailuresCount) {
  const Job job = GetParam();
  const std::vector<HostileFile> hostile = HostileFiles();
  TempDir root;
  // The job's folders lie two levels down, so that a file escaping them
  // upwards would still be inside the test's folder and be seen.
  const std::string in = root / "a/b/in", out = root / "a/b/out";
  fs::create_directories(in);
  fs::create_directories(out);
  std::map<std::string, std::string> before;  // name -> bytes
  for (size_t i = 0; i < hostile.size(); ++i) {
    const std::string name = "file" + std::to_string(i) + ".mp3";
    WriteFile(in + "/" + name, hostile[i].bytes);
    before[name] = hostile[i].bytes;
  }

  TRenameOptions options;
  options.SourceFolder = W(in);
  options.DestFolder = W(out);
  options.Rename = job.rename;
  options.Move = job.move;
  options.Copy = job.copy;
  options.ReplaceChar = job.replace;
  TLinuxFileOps ops;
  TRecordingView view;
  TRenameEngine engine(ops, view);
  const TJobResult result = engine.Run(options);
  const TRenameList& list = engine.RenameList();

  // The counts: every listed operation was tried, and Done counts the ones
  // that worked.
  ASSERT_EQ(result.Total, static_cast<int>(list.size()));
  EXPECT_EQ(result.Done,
            static_cast<int>(std::count_if(list.begin(), list.end(),
                                           [](const auto& e) { return e.Ok.value_or(false); })));

  // Nothing anywhere but in the two folders.
  const std::map<std::string, std::string> everything = FilesUnder(root.Path().string());
  for (const auto& [path, bytes] : everything) {
    EXPECT_TRUE(path.starts_with("a/b/in/") || path.starts_with("a/b/out/")) << path;
  }
  // Each file's bytes are found exactly once outside the source (moved or
  // renamed) or once in the source (unchanged), and twice for a copy.
  std::map<std::string, int> seen;
  for (const auto& [path, bytes] : everything) ++seen[bytes];
  for (const auto& [name, bytes] : before) {
    const bool copied = job.copy && fs::exists(in + "/" + name) &&
                        std::any_of(list.begin(), list.end(), [&](const TRenameEntry& e) {
                          return e.OldPath == W(in + "/" + name) && e.Ok.value_or(false);
                        });
    EXPECT_EQ(seen[bytes], copied ? 2 : 1) << name;
  }
  // Each operation went where the engine said, inside the right folder; each
  // failed one left its file whole where it was.
  for (const TRenameEntry& e : list) {
    const std::string from = WideToNative(e.OldPath), to = WideToNative(e.NewPath);
    if (e.Ok.value_or(false)) {
      EXPECT_TRUE(Inside(to, job.move || job.copy ? out : in)) << to;
      EXPECT_EQ(ReadFile(to), before.at(fs::path(from).filename().string())) << to;
      EXPECT_EQ(fs::exists(from), job.copy) << from;
    } else {
      EXPECT_EQ(ReadFile(from), before.at(fs::path(from).filename().string())) << from;
    }
  }
  // The names too long for the file system are listed and count as unchanged.
  for (size_t i = 0; i < hostile.size(); ++i) {
    const bool fails = (hostile[i].nameTooLong && job.rename) ||
                       (hostile[i].genreTooLong && (job.move || job.copy));
    if (!fails) continue;
    const std::u16string old = W(in + "/file" + std::to_string(i) + ".mp3");
    auto entry = std::find_if(list.begin(), list.end(),
                              [&](const TRenameEntry& e) { return e.OldPath == old; });
    ASSERT_NE(entry, list.end()) << hostile[i].what;
    EXPECT_FALSE(entry->Ok.value_or(true)) << hostile[i].what;
    EXPECT_EQ(ReadFile(WideToNative(old)), hostile[i].bytes) << hostile[i].what;
  }
  // A value that is empty once cleaned names nothing: that file is not listed
  // at all, in any job.
  const std::u16string empty = W(in + "/file7.mp3");
  ASSERT_STREQ(hostile[7].what, "empty after cleaning");
  EXPECT_TRUE(std::none_of(list.begin(), list.end(),
                           [&](const TRenameEntry& e) { return e.OldPath == empty; }));
  // No name holds a NUL, and no new name or genre folder begins with a dot:
  // that would hide the file from the user and from the next job.
  for (const TRenameEntry& e : list) {
    EXPECT_EQ(e.NewPath.find(u'\0'), std::u16string::npos);
    const fs::path path(WideToNative(e.NewPath));
    EXPECT_FALSE(path.filename().string().starts_with('.')) << path;
    EXPECT_FALSE(path.parent_path().filename().string().starts_with('.')) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, HostileNames,
    ::testing::Values(Job{true, false, false, u' '}, Job{true, true, false, u'_'},
                      Job{true, false, true, u' '}, Job{false, true, false, u'_'},
                      Job{false, false, true, u'/'}),
    [](const auto& param) {
      const Job& j = param.param;
      std::string name = j.rename ? "Rename" : "";
      if (j.move) name += "Move";
      if (j.copy) name += "Copy";
      return name + (j.replace == u' ' ? "Blank" : j.replace == u'_' ? "Underscore" : "Slash");
    });

// The longest name the file system takes is used, and one byte more is
// refused, counted, and leaves the file where it was.
TEST(HostileNamesLimits, TheNameLengthLimitIsTheFileSystemsAndCountedWhenPassed) {
  TempDir root;
  const std::string in = root / "in";
  fs::create_directory(in);
  WriteFile(in + "/fits.mp3", WithApeTag(1, std::string(124, 'A'), std::string(124, 'T'), ""));
  WriteFile(in + "/long.mp3", WithApeTag(2, std::string(124, 'B'), std::string(125, 'T'), ""));
  TRenameOptions options;
  options.SourceFolder = W(in);
  options.DestFolder = W(in);
  options.Rename = true;
  TLinuxFileOps ops;
  TRecordingView view;
  TRenameEngine engine(ops, view);
  const TJobResult result = engine.Run(options);
  EXPECT_EQ(result.Total, 2);
  EXPECT_EQ(result.Done, 1);
  EXPECT_EQ(view.Statuses.back(), "finished 1 of 2");
  const std::string fitting = std::string(124, 'A') + " - " + std::string(124, 'T') + ".mp3";
  ASSERT_EQ(fitting.size(), 255u);
  EXPECT_EQ(ReadFile(in + "/" + fitting),
            WithApeTag(1, std::string(124, 'A'), std::string(124, 'T'), ""));
  EXPECT_EQ(ReadFile(in + "/long.mp3"),
            WithApeTag(2, std::string(124, 'B'), std::string(125, 'T'), ""));
}

}  // namespace
}  // namespace dov::test
