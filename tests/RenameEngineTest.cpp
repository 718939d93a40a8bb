#include "engine/RenameEngine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/DOVTnt.h"
#include "tests/TestSupport.h"

namespace dov::test {
namespace {

namespace fs = std::filesystem;

std::string N(const std::u16string& wide) {
  return WideToNative(wide);
}

// An audio-looking file carrying an APEv2 tag with the non-empty values.
std::string Tagged(const std::string& artist, const std::string& title, const std::string& genre,
                   char body = 'x') {
  std::vector<std::pair<std::string, std::string>> items;
  if (!artist.empty()) items.emplace_back("Artist", artist);
  if (!title.empty()) items.emplace_back("Title", title);
  if (!genre.empty()) items.emplace_back("Genre", genre);
  return Filler(200, body) + ApeTag(items);
}

void Put(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  WriteFile(path, bytes);
}

// Every file and link under root, as paths relative to it; folders only
// where they are empty.
std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const bool folder = it->is_directory(ec) && !it->is_symlink(ec);
    if (!folder || fs::is_empty(it->path(), ec))
      found.insert(it->path().lexically_relative(root).string() + (folder ? "/" : ""));
  }
  return found;
}

// Records every call; the chosen ones fail, the others go on to the real
// operations (or, without them, succeed without touching the disk).
class RecordingOps : public IFileOps {
 public:
  struct Call {
    std::string kind;
    std::u16string from, to;
    bool allowCopy = false;
  };

  explicit RecordingOps(IFileOps* real = nullptr) : real_(real) {}

  bool CreateFolders(const std::u16string& path) override {
    folders.push_back(path);
    return real_ == nullptr || real_->CreateFolders(path);
  }
  bool MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) override {
    return Carry({"move", from, to, allowCopy},
                 [&] { return real_->MoveFile(from, to, allowCopy); });
  }
  bool CopyFile(const std::u16string& from, const std::u16string& to) override {
    return Carry({"copy", from, to, false}, [&] { return real_->CopyFile(from, to); });
  }

  std::function<bool(size_t index, const Call&)> fail = [](size_t, const Call&) { return false; };
  std::vector<Call> calls;
  std::vector<std::u16string> folders;

 private:
  bool Carry(Call call, const std::function<bool()>& op) {
    calls.push_back(call);
    if (fail(calls.size() - 1, call)) return false;
    return real_ == nullptr || op();
  }
  IFileOps* real_;
};

class RenameEngineTest : public ::testing::Test {
 protected:
  TRenameOptions Options(bool rename, bool move, bool copy, char16_t replace = u' ') const {
    TRenameOptions options;
    options.SourceFolder = W(in);
    options.DestFolder = W(out);
    options.Rename = rename;
    options.Move = move;
    options.Copy = copy;
    options.ReplaceChar = replace;
    return options;
  }
  // Runs a job on the disk through the real operations.
  TJobResult Run(const TRenameOptions& options) {
    TRenameEngine engine(ops, view);
    TJobResult result = engine.Run(options);
    list = engine.RenameList();
    return result;
  }

  TempDir dir;
  const std::string in = dir / "in";
  const std::string out = dir / "out";
  TLinuxFileOps realOps;
  RecordingOps ops{&realOps};
  TRecordingView view;
  TRenameList list;
};

// --- What each option does ---------------------------------------------------

struct OptionCase {
  const char* name;
  bool rename, move, copy;
  std::set<std::string> after;  // the tree under the test folder afterwards
  const char* kind;
  bool allowCopy;
};
void PrintTo(const OptionCase& c, std::ostream* os) {
  *os << c.name;
}

class RenameEngineOptions : public RenameEngineTest,
                            public ::testing::WithParamInterface<OptionCase> {};

TEST_P(RenameEngineOptions, GiveTheNewPathAndTheOperation) {
  const OptionCase& c = GetParam();
  Put(in + "/x.mp3", Tagged("A", "T", "Rock"));
  fs::create_directory(out);
  TJobResult result = Run(Options(c.rename, c.move, c.copy));

  EXPECT_EQ(Tree(dir.Path()), c.after);
  ASSERT_EQ(ops.calls.size(), 1u);
  EXPECT_EQ(ops.calls[0].kind, c.kind);
  EXPECT_EQ(ops.calls[0].allowCopy, c.allowCopy);
  EXPECT_EQ(result.Done, 1);
  EXPECT_EQ(result.Total, 1);
  EXPECT_EQ(view.Statuses.back(), "finished 1 of 1");
  for (const std::string& file : c.after) {
    if (file.ends_with(".mp3")) {
      EXPECT_EQ(ReadFile(dir / file), Tagged("A", "T", "Rock"));
    }
  }
  // Genre folders are made for moves and copies only.
  EXPECT_EQ(ops.folders.size(), c.move || c.copy ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RenameEngineOptions,
    ::testing::Values(
        OptionCase{"RenameOnly", true, false, false, {"in/A - T.mp3", "out/"}, "move", false},
        OptionCase{"RenameAndMove", true, true, false, {"in/", "out/Rock/A - T.mp3"}, "move", true},
        OptionCase{
            "RenameAndCopy", true, false, true, {"in/x.mp3", "out/Rock/A - T.mp3"}, "copy", false},
        OptionCase{"MoveOnly", false, true, false, {"in/", "out/Rock/x.mp3"}, "move", true},
        OptionCase{"CopyOnly", false, false, true, {"in/x.mp3", "out/Rock/x.mp3"}, "copy", false}),
    [](const auto& param) { return std::string(param.param.name); });

// --- New names -------------------------------------------------------------

struct NameCase {
  std::string file, artist, title;
  char16_t replace;
  std::string expected;  // empty: the file is not listed
};

TEST_F(RenameEngineTest, NewNamesInPlace) {
  const NameCase cases[] = {
      {"x.mp3", "A", "T", u' ', "A - T.mp3"},
      {"x.mp3", "", "T", u' ', "T.mp3"},
      {"x.mp3", "A", "", u' ', "A - .mp3"},
      {"x.MP3", "A", "B/C", u'_', "A - B_C.mp3"},
      {"x.Flac", "A", "T", u' ', "A - T.flac"},
      {"x.wma", "A", "*/:<>?\\", u'_', "A - _______.wma"},
      {"x.ogg", "A:", "B?", u' ', "A  - B .ogg"},
      // Control characters are invisible and mislead later tools.
      {"x.ape", "A", "form\ffeed", u'_', "A - form_feed.ape"},
      {"x.ape", "A", "two\r\nlines\x7F", u' ', "A - two  lines .ape"},
      {"x.mp3", "A", "B?C", u'?', "A - B?C.mp3"},  // an invalid replacement goes in as it is
      // '/' cannot stand in a name: it would lead the file into other folders.
      {"x.mp3", "A", "../../B", u'/', "A - .._.._B.mp3"},
      // A leading dot would hide the file from the user and from later jobs.
      {"x.mp3", "..", "", u' ', "__ - .mp3"},
      {"x.mp3", "", "..", u' ', "__.mp3"},
      {"x.mp3", ".45 Horizon", "Night Drive", u' ', "_45 Horizon - Night Drive.mp3"},
      {"x.mp3", "", ".", u'.', "_.mp3"},
      {"Björk.mp3", "Björk", "Jóga", u' ', "Björk - Jóga.mp3"},
      {"x.mp3", "Кино", "Группа крови", u' ', "Кино - Группа крови.mp3"},
      {"\xE9t\xE9.mp3", "A", "T", u' ', "A - T.mp3"},
      // Letter case alone never makes a change.
      {"a - t.mp3", "A", "T", u' ', ""},
      {"A - T.MP3", "A", "T", u' ', ""},
      {"ДДТ - ОСЕНЬ.mp3", "ддт", "осень", u' ', ""},
      {"BJÖRK - JÓGA.flac", "Björk", "Jóga", u' ', ""},
      {"A - T.mp3", "A", "T", u' ', ""},
      // Neither artist nor title: renaming alone keeps the path.
      {"x.mp3", "", "", u' ', ""},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.file + " -> " + c.expected);
    fs::remove_all(in);
    const std::string content = Tagged(c.artist, c.title, "Rock");
    Put(in + "/" + c.file, content);
    view = TRecordingView();
    TJobResult result = Run(Options(true, false, false, c.replace));
    const std::string now = c.expected.empty() ? c.file : c.expected;
    EXPECT_EQ(Tree(in), std::set<std::string>{now});
    EXPECT_EQ(ReadFile(in + "/" + now), content);
    EXPECT_EQ(result.Total, c.expected.empty() ? 0 : 1);
    EXPECT_EQ(result.Done, result.Total);
  }
}

TEST_F(RenameEngineTest, FilesWithoutTagsOrWithOtherExtensionsAreInvisible) {
  Put(in + "/plain.mp3", Filler(4000));
  Put(in + "/empty tag.mp3", Filler(200) + ApeTagFromItems({}));
  Put(in + "/short.mp3", Tagged("A", "T", "").substr(200));  // under 160 bytes
  Put(in + "/x.opus", Tagged("A", "T", "Rock"));
  Put(in + "/x.aif", Tagged("A", "T", "Rock"));
  Put(in + "/x.mp3 ", Tagged("A", "T", "Rock"));
  Put(in + "/mp3", Tagged("A", "T", "Rock"));
  Put(in + "/x.mp3.bak", Tagged("A", "T", "Rock"));
  const std::set<std::string> before = Tree(dir.Path());
  TJobResult result = Run(Options(true, true, false));
  EXPECT_EQ(Tree(dir.Path()), before);
  EXPECT_EQ(result.Total, 0);
  EXPECT_TRUE(ops.folders.empty());
  EXPECT_EQ(view.Statuses, std::vector<std::string>{"finished 0 of 0"});
  EXPECT_EQ(view.ProgressMax, 0);
  EXPECT_EQ(view.Repaints, 0);
}

TEST_F(RenameEngineTest, EveryExtensionIsSupportedInAnyCase) {
  int n = 0;
  for (const char* ext :
       {".mp3", ".WAV", ".m4a", ".Mp4", ".flac", ".OGG", ".mp2", ".mp4a", ".wma", ".ApE"}) {
    std::string lower(ext);
    for (char& ch : lower)
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    Put(in + "/f" + std::to_string(n) + ext, Tagged("A", "T" + std::to_string(n), ""));
    std::u16string got;
    EXPECT_TRUE(TRenameEngine::IsSupportedAudioFile(W(std::string("x") + ext), got));
    EXPECT_EQ(N(got), lower);
    ++n;
  }
  std::u16string ext;
  EXPECT_FALSE(TRenameEngine::IsSupportedAudioFile(u"noext", ext));
  EXPECT_EQ(ext, u"");
  EXPECT_FALSE(TRenameEngine::IsSupportedAudioFile(u"x.OPUS", ext));
  EXPECT_EQ(ext, u".opus");

  TJobResult result = Run(Options(true, false, false));
  EXPECT_EQ(result.Total, 10);
  EXPECT_EQ(result.Done, 10);
  EXPECT_TRUE(fs::exists(in + "/A - T5.ogg"));
  EXPECT_TRUE(fs::exists(in + "/A - T9.ape"));
}

// --- Never replacing, and failures ---------------------------------------------

TEST_F(RenameEngineTest, TwoFilesForOneNameTheSecondStaysUnchanged) {
  Put(in + "/a.mp3", Tagged("A", "T", "Rock", 'a'));
  Put(in + "/b.mp3", Tagged("A", "T", "Rock", 'b'));
  TJobResult result = Run(Options(true, false, false));
  EXPECT_EQ(result.Total, 2);
  EXPECT_EQ(result.Done, 1);
  EXPECT_EQ(view.Statuses.back(), "finished 1 of 2");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Ok, true);
  EXPECT_EQ(list[1].Ok, false);
  // The first listed has the name, the second kept its own and its bytes.
  const std::string first = N(list[0].OldPath), second = N(list[1].OldPath);
  EXPECT_EQ(ReadFile(in + "/A - T.mp3"),
            Tagged("A", "T", "Rock", first.ends_with("a.mp3") ? 'a' : 'b'));
  EXPECT_EQ(ReadFile(second), Tagged("A", "T", "Rock", second.ends_with("a.mp3") ? 'a' : 'b'));
  EXPECT_EQ(Tree(in).size(), 2u);
}

TEST_F(RenameEngineTest, CopyOntoAnExistingFileLeavesItAndCountsOneUnchanged) {
  Put(in + "/x.mp3", Tagged("", "", "Rock"));
  Put(in + "/y.mp3", Tagged("", "", "Rock"));
  Put(in + "/z.mp3", Tagged("", "", "Rock"));
  Put(out + "/Rock/y.mp3", "old");
  TJobResult result = Run(Options(false, false, true));
  EXPECT_EQ(result.Done, 2);
  EXPECT_EQ(result.Total, 3);
  EXPECT_EQ(view.Statuses.back(), "finished 2 of 3");
  EXPECT_EQ(ReadFile(out + "/Rock/y.mp3"), "old");
  EXPECT_EQ(Tree(dir.Path()),
            (std::set<std::string>{"in/x.mp3", "in/y.mp3", "in/z.mp3", "out/Rock/x.mp3",
                                   "out/Rock/y.mp3", "out/Rock/z.mp3"}));
}

TEST_F(RenameEngineTest, AFailingOperationIsCountedUnchangedAndTheRestGoOn) {
  for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
    Put(in + "/" + name, Tagged(std::string("Artist ") + name[0], "T", "Rock"));
  ops.fail = [](size_t, const RecordingOps::Call& call) {
    return N(call.from).ends_with("/b.mp3");
  };
  TJobResult result = Run(Options(true, true, false));
  EXPECT_EQ(result.Done, 2);
  EXPECT_EQ(result.Total, 3);
  EXPECT_EQ(view.Statuses.back(), "finished 2 of 3");
  EXPECT_EQ(Tree(dir.Path()), (std::set<std::string>{"in/b.mp3", "out/Rock/Artist a - T.mp3",
                                                     "out/Rock/Artist c - T.mp3"}));
  for (const TRenameEntry& entry : list) EXPECT_EQ(entry.Ok, !N(entry.OldPath).ends_with("/b.mp3"));
}

TEST_F(RenameEngineTest, WhatTheFileSystemRefusesIsCountedUnchanged) {
  struct Case {
    const char* what;
    std::string tag;
    bool rename, move;
    int error;  // the reason the entry records
  };
  const Case cases[] = {
      {"genre folder under a file", Tagged("A", "T", "Rock"), false, true, ENOTDIR},
      {"name too long", Tagged("A", std::string(300, 'x'), "Rock"), true, false, ENAMETOOLONG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir root;
    const std::string source = root / "in", dest = root / "out";
    Put(source + "/x.mp3", c.tag);
    WriteFile(dest, "a file, where the genre folders should go");
    if (!c.move) fs::remove(dest);
    TRecordingView v;
    TRenameEngine engine(realOps, v);
    TRenameOptions options = Options(c.rename, c.move, false);
    options.SourceFolder = W(source);
    options.DestFolder = W(dest);
    TJobResult result = engine.Run(options);
    EXPECT_EQ(result.Total, 1);
    EXPECT_EQ(result.Done, 0);
    EXPECT_EQ(v.Statuses.back(), "finished 0 of 1");
    ASSERT_EQ(engine.RenameList().size(), 1u);
    EXPECT_EQ(engine.RenameList()[0].Error, c.error) << std::strerror(engine.RenameList()[0].Error);
    EXPECT_EQ(ReadFile(source + "/x.mp3"), c.tag);
    EXPECT_EQ(Tree(root.Path()).size(), c.move ? 2u : 1u);
  }
}

// --- Status texts and progress ------------------------------------------------

TEST_F(RenameEngineTest, StatusTextsAndProgressOfAHundredAndOneFiles) {
  for (int i = 0; i <= 100; ++i)
    Put(in + "/f" + std::to_string(i) + ".mp3", Tagged("A", "T" + std::to_string(i), ""));
  RecordingOps dry;  // succeeds without touching the disk
  TRenameEngine engine(dry, view);
  TJobResult result = engine.Run(Options(true, false, false));
  EXPECT_EQ(result.Total, 101);
  EXPECT_EQ(view.Statuses, (std::vector<std::string>{"listing 0", "listing 100", "operating 1",
                                                     "operating 26", "operating 51", "operating 76",
                                                     "operating 101", "finished 101 of 101"}));
  // Position 0 first, then the maximum once the list is known, then 1..101.
  ASSERT_GE(view.Events.size(), 3u);
  EXPECT_EQ(view.Events[0], "position 0");
  EXPECT_EQ(view.Events[3], "max 101");
  std::vector<int> expected{0};
  for (int i = 1; i <= 101; ++i) expected.push_back(i);
  EXPECT_EQ(view.Positions, expected);
  EXPECT_EQ(view.Repaints, 101 + 5);  // every file with tags, every 25th operation
}

TEST_F(RenameEngineTest, ProgressTextsCountSuccessesAtEveryTwentyFifthOperation) {
  for (int i = 0; i < 30; ++i)
    Put(in + "/f" + std::to_string(i) + ".mp3", Tagged("A", "T" + std::to_string(i), ""));
  Put(in + "/untagged.mp3", Filler(300));
  Put(in + "/A - T0.mp3", Tagged("a", "t0", ""));  // tags but no change: a repaint, no entry
  RecordingOps dry;
  dry.fail = [](size_t index, const RecordingOps::Call&) { return index == 0 || index == 26; };
  TRenameEngine engine(dry, view);
  TJobResult result = engine.Run(Options(true, false, false));
  EXPECT_EQ(result.Total, 30);
  EXPECT_EQ(result.Done, 28);
  EXPECT_EQ(view.Statuses,
            (std::vector<std::string>{"listing 0", "operating 25", "finished 28 of 30"}));
  EXPECT_EQ(view.ProgressMax, 30);
  EXPECT_EQ(view.Repaints, 31 + 1);
}

TEST_F(RenameEngineTest, NothingToDoOrNoSourceFolder) {
  for (bool exists : {false, true}) {
    SCOPED_TRACE(exists);
    if (exists) fs::create_directory(in);
    view = TRecordingView();
    TJobResult result = Run(Options(true, true, false));
    EXPECT_EQ(result.Total, 0);
    EXPECT_EQ(view.Statuses, std::vector<std::string>{"finished 0 of 0"});
    EXPECT_EQ(view.ProgressMax, 0);
    EXPECT_EQ(view.Positions, std::vector<int>{0});
  }
}

// --- The walk ------------------------------------------------------------------

TEST_F(RenameEngineTest, SubfoldersAreWalkedDepthFirstAndOnlyWhenAsked) {
  for (const char* file :
       {"a.mp3", "s1/b.mp3", "s1/t/c.mp3", "s1/t/u/d.mp3", "s1/e.mp3", "s2/f.mp3", "g.mp3"})
    Put(in + "/" + file, Tagged("A", file, ""));
  RecordingOps dry;
  TRenameEngine engine(dry, view);
  TRenameOptions options = Options(true, false, false);
  EXPECT_EQ(engine.Collect(options), 2);

  options.Subfolders = true;
  ASSERT_EQ(engine.Collect(options), 7);
  // A folder's entries, its subfolders' included, form one unbroken run.
  std::vector<std::string> order;
  for (const TRenameEntry& entry : engine.RenameList())
    order.push_back(N(entry.OldPath).substr(in.size() + 1));
  for (const char* prefix : {"s1/", "s1/t/", "s2/"}) {
    auto inside = [&](const std::string& p) { return p.starts_with(prefix); };
    auto first = std::find_if(order.begin(), order.end(), inside);
    auto last = std::find_if(order.rbegin(), order.rend(), inside).base();
    EXPECT_TRUE(std::all_of(first, last, inside)) << prefix;
  }
  // The new name stays in the file's own folder.
  for (const TRenameEntry& entry : engine.RenameList())
    EXPECT_EQ(fs::path(N(entry.NewPath)).parent_path(), fs::path(N(entry.OldPath)).parent_path());
}

TEST_F(RenameEngineTest, HiddenFilesAndFoldersAreNeverProcessed) {
  for (const char* file : {".hidden.mp3", ".folder/x.mp3", "..odd/x.mp3", "sub/.x.mp3"})
    Put(in + "/" + file, Tagged("A", "T", "Rock"));
  TRenameOptions options = Options(true, true, false);
  options.Subfolders = true;
  const std::set<std::string> before = Tree(dir.Path());
  EXPECT_EQ(Run(options).Total, 0);
  EXPECT_EQ(Tree(dir.Path()), before);
}

TEST_F(RenameEngineTest, TheDestinationIsNotWalkedHoweverItsPathIsWritten) {
  fs::create_directories(in);
  fs::create_directory_symlink(in, dir / "link");
  for (const std::string& dest :
       {in + "/out", in + "/out/", in + "//out", in + "/./out", dir / "link/out"}) {
    SCOPED_TRACE(dest);
    fs::remove_all(in + "/out");
    Put(in + "/x.mp3", Tagged("A", "T", "Rock"));
    Put(in + "/out/Rock/y.mp3", Tagged("A2", "T2", "Rock"));
    TRenameOptions options = Options(true, true, false);
    options.DestFolder = W(dest);
    options.Subfolders = true;
    // The second run finds x.mp3 in place; y.mp3 was never touched.
    for (int run = 0; run < 2; ++run) {
      const TJobResult result = Run(options);
      EXPECT_EQ(result.Total, 1 - run);
      EXPECT_EQ(result.Done, result.Total);
    }
    EXPECT_EQ(Tree(in + "/out"), (std::set<std::string>{"Rock/A - T.mp3", "Rock/y.mp3"}));
  }
}

// As root no folder is unreadable: the walk then runs as nobody, in a child.
TEST_F(RenameEngineTest, AFolderThatCannotBeListedIsReported) {
  Put(in + "/x.mp3", Tagged("A", "T", "Rock"));
  Put(in + "/locked/y.mp3", Tagged("A2", "T2", "Rock"));
  fs::permissions(dir.Path(), fs::perms::all);
  fs::permissions(in, fs::perms::all);
  fs::permissions(in + "/locked", fs::perms::none);
  auto walk = [&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(2);
    RecordingOps dry;
    TRenameEngine engine(dry, view);
    TRenameOptions options = Options(true, false, false);
    options.Subfolders = true;
    const bool found = engine.Collect(options) == 1 && engine.UnreadableFolders().size() == 1 &&
                       N(engine.UnreadableFolders()[0].Path) == in + "/locked" &&
                       engine.UnreadableFolders()[0].Error == EACCES;
    if (!found)
      std::fprintf(stderr, "listed %zu, unreadable %zu\n", engine.RenameList().size(),
                   engine.UnreadableFolders().size());
    std::_Exit(found ? 0 : 1);
  };
  EXPECT_EXIT(walk(), ::testing::ExitedWithCode(0), "");
  // A folder that vanished is no error.
  RecordingOps dry;
  TRenameEngine engine(dry, view);
  fs::permissions(in + "/locked", fs::perms::all);
  TRenameOptions options = Options(true, false, false);
  options.SourceFolder = W(in + "/gone");
  EXPECT_EQ(engine.Collect(options), 0);
  EXPECT_TRUE(engine.UnreadableFolders().empty());
}

// As root every file is readable: the walk then runs as nobody, in a child.
TEST_F(RenameEngineTest, AFileThatCannotBeReadIsReported) {
  Put(in + "/x.mp3", Tagged("A", "T", "Rock"));
  Put(in + "/locked.mp3", Tagged("A2", "T2", "Rock"));
  Put(in + "/tiny.mp3", "short");  // readable, too short for tags: no error
  fs::permissions(dir.Path(), fs::perms::all);
  fs::permissions(in, fs::perms::all);
  fs::permissions(in + "/locked.mp3", fs::perms::none);
  auto walk = [&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(2);
    RecordingOps dry;
    TRenameEngine engine(dry, view);
    const int listed = engine.Collect(Options(true, false, false));
    const auto& files = engine.UnreadableFiles();
    const bool found = listed == 1 && files.size() == 1 && N(files[0].Path) == in + "/locked.mp3" &&
                       files[0].Error == EACCES && engine.UnreadableFolders().empty();
    if (!found) std::fprintf(stderr, "listed %d, unreadable %zu\n", listed, files.size());
    std::_Exit(found ? 0 : 1);
  };
  EXPECT_EXIT(walk(), ::testing::ExitedWithCode(0), "");
}

TEST_F(RenameEngineTest, DestinationEqualToTheSourceGetsItsGenreFoldersInside) {
  Put(in + "/x.mp3", Tagged("", "", "Rock"));
  Put(in + "/sub/y.mp3", Tagged("", "", "Pop"));
  TRenameOptions options = Options(false, true, false);
  options.DestFolder = options.SourceFolder;
  options.Subfolders = true;
  EXPECT_EQ(Run(options).Done, 2);
  EXPECT_EQ(Tree(in), (std::set<std::string>{"Rock/x.mp3", "Pop/y.mp3", "sub/"}));
  // A second run finds everything in place.
  EXPECT_EQ(Run(options).Total, 0);
}

TEST_F(RenameEngineTest, LinksToFoldersAreNotFollowedLinksToFilesAreFiles) {
  Put(in + "/real.mp3", Tagged("A", "T", "Rock"));
  fs::create_directories(in + "/sub");
  fs::create_directory_symlink(in, in + "/sub/loop");       // a cycle
  fs::create_directory_symlink("..", in + "/sub/up.mp3");   // a folder with an audio name
  fs::create_symlink("../real.mp3", in + "/sub/link.mp3");  // a file
  fs::create_symlink("nowhere.mp3", in + "/sub/dangling.mp3");
  TRenameOptions options = Options(true, false, false);
  options.Subfolders = true;
  RecordingOps dry;
  TRenameEngine engine(dry, view);
  ASSERT_EQ(engine.Collect(options), 2);
  std::set<std::string> listed;
  for (const TRenameEntry& entry : engine.RenameList()) listed.insert(N(entry.OldPath));
  EXPECT_EQ(listed, (std::set<std::string>{in + "/real.mp3", in + "/sub/link.mp3"}));
}

TEST_F(RenameEngineTest, AFifoWithAnAudioNameIsSkippedWithoutHanging) {
  fs::create_directories(in);
  ASSERT_EQ(::mkfifo((in + "/x.mp3").c_str(), 0644), 0);
  fs::create_symlink("x.mp3", in + "/y.mp3");
  Put(in + "/z.mp3", Tagged("A", "T", ""));
  // Should the walk open the FIFO, a writer comes along so that the test ends.
  std::atomic<bool> finished{false};
  std::thread rescuer([&] {
    for (int i = 0; !finished; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (i < 20) continue;
      int fd = ::open((in + "/x.mp3").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  TJobResult result = Run(Options(true, false, false));
  const auto took = std::chrono::steady_clock::now() - start;
  finished = true;
  rescuer.join();
  EXPECT_LT(took, std::chrono::seconds(2)) << "the walk blocked on the FIFO";
  EXPECT_EQ(result.Total, 1);
  EXPECT_EQ(Tree(in), (std::set<std::string>{"x.mp3", "y.mp3", "A - T.mp3"}));
}

// --- Genre folders -----------------------------------------------------------

TEST_F(RenameEngineTest, AGenreIsAlwaysOneFolderUnderTheDestination) {
  struct Case {
    std::string genre;
    char16_t replace;
    std::string folder;
  };
  const Case cases[] = {
      {"Rock", u' ', "Rock"},          {"", u' ', "Unknown"},
      {"Rock/Pop", u' ', "Rock Pop"},  {"Rock/Pop", u'_', "Rock_Pop"},
      {"../..", u' ', "__ .."},        {"../..", u'_', "___.."},
      {"../..", u'/', "___.."},  // '/' cannot stand in a name
      {".hidden", u' ', "_hidden"},    {"/", u'_', "_"},
      {".", u' ', "Unknown"},          {"..", u' ', "Unknown"},
      {"a\\b:c*", u'_', "a_b_c_"},     {"Электроника", u' ', "Электроника"},
      {"Hip-Hop", u' ', "Hip-Hop"},    {"Rock\nPop\x7F", u'_', "Rock_Pop_"},
      {"Rock/Pop", u'\n', "Rock_Pop"},  // nor can a control character
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.genre + " -> " + c.folder);
    TempDir root;
    const std::string source = root / "music/in", dest = root / "music/out";
    Put(source + "/x.mp3", c.genre.empty() ? Tagged("A", "", "") : Tagged("", "", c.genre));
    TRenameOptions options = Options(false, true, false, c.replace);
    options.SourceFolder = W(source);
    options.DestFolder = W(dest);
    RecordingOps recording{&realOps};
    TRenameEngine engine(recording, view);
    EXPECT_EQ(engine.Run(options).Done, 1);
    EXPECT_EQ(Tree(root.Path()),
              (std::set<std::string>{"music/in/", "music/out/" + c.folder + "/x.mp3"}));
    EXPECT_EQ(recording.folders, std::vector<std::u16string>{W(dest + "/" + c.folder)});
  }
}

// --- Names that are not ASCII ------------------------------------------------

TEST_F(RenameEngineTest, UnicodeAndNonUtf8NamesAreFoundReadAndMoved) {
  Put(in + "/Björk.mp3", Tagged("Björk", "Jóga", "Электроника", '1'));
  Put(in + "/\xE9t\xE9.mp3", Tagged("", "", "Rock", '2'));
  Put(in + "/\xFF folder/\xC3.flac", Tagged("Кино", "Звезда", "", '3'));
  Put(in + "/Кино/песня.ogg", Tagged("", "Песня", "Rock", '4'));
  TRenameOptions options = Options(true, true, false);
  options.Subfolders = true;
  TJobResult result = Run(options);
  EXPECT_EQ(result.Done, 4);
  EXPECT_EQ(Tree(out), (std::set<std::string>{"Электроника/Björk - Jóga.mp3", "Rock/\xE9t\xE9.mp3",
                                              "Unknown/Кино - Звезда.flac", "Rock/Песня.ogg"}));
  EXPECT_EQ(ReadFile(out + "/Rock/\xE9t\xE9.mp3"), Tagged("", "", "Rock", '2'));
  EXPECT_EQ(ReadFile(out + "/Unknown/Кино - Звезда.flac"), Tagged("Кино", "Звезда", "", '3'));
}

// Letter case makes different folders: only a name in its own folder may
// differ in case alone and be left.
TEST(RenameEngine, OnlyANameInTheSameFolderCanDifferInCaseAlone) {
  struct Case {
    std::u16string oldPath, newPath;
    bool caseOnly;
  };
  const Case cases[] = {
      {u"/m/a - t.mp3", u"/m/A - T.mp3", true},
      {u"/m/a.mp3", u"/m/a.mp3", true},
      {u"/m/ДДТ.mp3", u"/m/ддт.mp3", true},
      {u"/m/Lib/Rock/x.mp3", u"/m/lib/Rock/x.mp3", false},
      {u"/m/Rock/x.mp3", u"/m/ROCK/X.mp3", false},
      {u"/m/x.mp3", u"/m/y.mp3", false},
      {u"/m/x.mp3", u"/m/sub/x.mp3", false},
      {u"x.mp3", u"X.MP3", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsCaseOnlyChange(c.oldPath, c.newPath), c.caseOnly)
        << N(c.oldPath) << " -> " << N(c.newPath);
}

TEST_F(RenameEngineTest, CopyingIntoAFolderThatDiffersOnlyInCaseIsDone) {
  const std::string upper = dir / "Lib", lower = dir / "lib";
  Put(upper + "/Rock/x.mp3", Tagged("", "", "Rock"));
  TRenameOptions options = Options(false, false, true);
  options.SourceFolder = W(upper);
  options.DestFolder = W(lower);
  options.Subfolders = true;
  const TJobResult result = Run(options);
  EXPECT_EQ(result.Total, 1);
  EXPECT_EQ(result.Done, 1);
  EXPECT_EQ(ReadFile(lower + "/Rock/x.mp3"), Tagged("", "", "Rock"));
}

TEST(RenameEngine, ReplaceInvalidCharsTouchesTheNineAndControlsAndKeepsTheLength) {
  EXPECT_EQ(TRenameEngine::ReplaceInvalidChars(u"a\"b*c/d:e<f>g?h\\i|j", u'-'),
            u"a-b-c-d-e-f-g-h-i-j");
  EXPECT_EQ(
      TRenameEngine::ReplaceInvalidChars(std::u16string(u"\0\x01\t\n\x1B[2J\x1F\x7F", 10), u'_'),
      u"_____[2J__");
  EXPECT_EQ(TRenameEngine::ReplaceInvalidChars(u".~'`%&\x80\u00A0", u'_'), u".~'`%&\x80\u00A0");
  EXPECT_EQ(TRenameEngine::ReplaceInvalidChars(u"??", u'?'), u"??");
}

}  // namespace
}  // namespace dov::test
