// The journal of rename jobs, undo and history, end to end: the real
// dovrename-cli on temporary folders, with the tree compared byte for byte
// (names, contents, modes, modification times) before the job and after undo.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "tests/TestSupport.h"

namespace dov::test {
namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using json = nlohmann::json;

using Items = std::vector<std::pair<std::string, std::string>>;

// What a tree holds: for each file its bytes, mode and modification time; for
// each folder its mode. Folder times change with every entry and are left out.
using Snapshot = std::map<std::string, std::string>;

Snapshot Snap(const fs::path& root) {
  Snapshot snap;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    std::string what = "mode " + std::to_string(st.st_mode);
    if (S_ISREG(st.st_mode))
      what += " mtime " + std::to_string(st.st_mtim.tv_sec) + "." +
              std::to_string(st.st_mtim.tv_nsec) + " " + ReadFile(entry.path());
    snap[name] = what;
  }
  return snap;
}

void SetModeAndTime(const std::string& path, mode_t mode, time_t seconds) {
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  const struct timespec times[2] = {{seconds, 123456789}, {seconds, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class Undo : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(lib + "/sub");
    Add("a.mp3", {{"Artist", "A"}, {"Title", "One"}, {"Genre", "Rock"}}, 0644, 1'600'000'000);
    Add("sub/b.FLAC", {{"Artist", "B"}, {"Title", "Two"}}, 0600, 1'500'000'000);
    Add("caf\xe9.ogg", {{"Artist", "C"}, {"Title", "Thr\xc3\xa9\x65"}, {"Genre", "Jazz"}}, 0755,
        1'400'000'000);
    Add("d.wav", {{"Title", "Four"}, {"Genre", "Jazz"}}, 0640, 1'300'000'000);
  }

  void Add(const std::string& name, const Items& items, mode_t mode, time_t mtime) {
    const std::string path = lib + "/" + name;
    WriteFile(path, Filler(300 + name.size()) + ApeTag(items));
    SetModeAndTime(path, mode, mtime);
  }

  CliResult Cli(const std::vector<std::string>& args, EnvVars env = {}) {
    env.emplace_back("XDG_STATE_HOME", state);
    return RunCli(args, env);
  }

  std::vector<std::string> Journals() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(journals, ec))
      names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string OnlyJournal() const {
    std::vector<std::string> all = Journals();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? "" : all[0];
  }

  TempDir dir;
  std::string tree = dir / "tree";  // what the jobs change
  std::string lib = tree + "/lib";
  std::string dest = tree + "/Sorted";
  std::string state = dir / "state";
  std::string journals = state + "/dovrename/journal";
};

struct JobCase {
  const char* name;
  std::vector<std::string> options;
  int restored;
};

TEST_F(Undo, EveryKindOfJobIsUndoneToTheTreeBeforeIt) {
  const JobCase cases[] = {
      {"rename in place", {"--subfolders", "--rename"}, 4},
      {"move to genre folders", {"--subfolders", "--move"}, 4},
      {"rename and move", {"--subfolders", "--rename", "--move"}, 4},
      {"rename and copy", {"--subfolders", "--rename", "--copy"}, 4},
      {"copy, top folder only", {"--copy"}, 3},
  };
  for (const JobCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Snapshot before = Snap(tree);
    std::vector<std::string> args = {"rename"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"--dest", dest, lib});
    CliResult job = Cli(args);
    ASSERT_EQ(job.Status, 0) << job.Err;
    ASSERT_NE(Snap(tree), before);

    CliResult undo = Cli({"undo"});
    EXPECT_EQ(undo.Status, 0) << undo.Err;
    EXPECT_EQ(undo.Err, "");
    EXPECT_THAT(undo.Out, EndsWith("\n" + std::to_string(c.restored) + " files restored\n"));
    EXPECT_EQ(Snap(tree), before);  // the genre folders are gone too
    fs::remove_all(state);
  }
}

TEST_F(Undo, AMoveToAnotherFileSystemGoesBackTheSameWay) {
  const std::string other = dir / "other";
  fs::create_directories(other);
  const TMount tmpfs = TMount::Tmpfs(other);
  if (!tmpfs.Valid())
    GTEST_SKIP() << "cannot mount a tmpfs here (" << tmpfs.Why()
                 << "): the move across file systems is not tested";
  const Snapshot before = Snap(tree);
  CliResult job = Cli({"rename", "--subfolders", "--rename", "--move", "--dest", other, lib});
  ASSERT_EQ(job.Status, 0) << job.Err;
  const std::string journal = ReadFile(OnlyJournal());
  EXPECT_THAT(journal, HasSubstr("\"kind\":\"move\""));

  CliResult undo = Cli({"undo", "--json"});
  EXPECT_EQ(undo.Status, 0) << undo.Err;
  // A name that is not UTF-8 is written as \udcXX, which this JSON reader refuses.
  EXPECT_THAT(undo.Out, HasSubstr("/lib/caf\\udce9.ogg\",\"new\":"));
  EXPECT_THAT(undo.Out, HasSubstr("\"removedFolders\":[\"" + other + "/"));
  EXPECT_THAT(undo.Out, EndsWith("],\"restored\":4,\"left\":0,\"dryRun\":false}\n"));
  EXPECT_EQ(Snap(tree), before);
  EXPECT_TRUE(fs::is_empty(other));
}

TEST_F(Undo, AJobKilledInTheMiddleIsUndoneCleanly) {
  const Snapshot before = Snap(tree);
  // Killed right after its second operation, before the journal heard of it.
  CliResult job = Cli({"rename", "--subfolders", "--rename", "--move", "--dest", dest, lib},
                      {{"DOVRENAME_TEST_HOOK_KILL_AFTER", "2"}});
  ASSERT_EQ(job.Signal, SIGKILL) << job.Err;
  const std::string path = OnlyJournal();
  const std::string text = ReadFile(path);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
            std::count(text.begin(), text.end(), '{'));  // whole lines only
  EXPECT_THAT(text, HasSubstr("\"op\":\"intent\",\"seq\":2"));
  EXPECT_THAT(text, Not(HasSubstr("\"op\":\"done\",\"seq\":2")));
  EXPECT_THAT(text, Not(HasSubstr("\"op\":\"end\"")));

  CliResult history = Cli({"history"});
  EXPECT_THAT(history.Out, HasSubstr("1 of 2 done, cut short"));

  // A record cut short by the kill, too, is read as not written.
  { std::ofstream(path, std::ios::app) << "{\"op\":\"intent\",\"seq\":3,\"ki"; }
  CliResult undo = Cli({"undo"});
  EXPECT_EQ(undo.Status, 0) << undo.Err;
  EXPECT_THAT(undo.Out, EndsWith("\n2 files restored\n"));
  EXPECT_EQ(Snap(tree), before);
  const std::string after = ReadFile(path);
  EXPECT_THAT(after, EndsWith(",\"restored\":2,\"left\":0}\n"));
  EXPECT_THAT(after, Not(HasSubstr("\"seq\":3")));
}

struct LeftCase {
  const char* name;
  std::vector<std::string> options;
  // Changes the tree after the job; returns the path that must stay as it is.
  std::function<std::string(const std::string& lib, const std::string& dest)> meddle;
  const char* reason;
};

TEST_F(Undo, FilesChangedSinceTheJobAreLeftAndReported) {
  const LeftCase cases[] = {
      {"file changed",
       {"--rename"},
       [](const std::string& l, const std::string&) {
         std::ofstream(l + "/A - One.mp3", std::ios::app) << "more";
         return l + "/A - One.mp3";
       },
       "it was changed or replaced after the job"},
      {"file replaced",
       {"--rename"},
       [](const std::string& l, const std::string&) {
         fs::remove(l + "/A - One.mp3");
         WriteFile(l + "/A - One.mp3", "another file");
         return l + "/A - One.mp3";
       },
       "it was changed or replaced after the job"},
      {"old name taken",
       {"--rename"},
       [](const std::string& l, const std::string&) {
         WriteFile(l + "/a.mp3", "a newcomer");
         return l + "/a.mp3";
       },
       "is taken"},
      {"copy edited",
       {"--rename", "--copy"},
       [](const std::string&, const std::string& d) {
         std::ofstream(d + "/Rock/A - One.mp3", std::ios::app) << "edited";
         return d + "/Rock/A - One.mp3";
       },
       "the copy differs from its source"},
      {"source of a copy gone",
       {"--rename", "--copy"},
       [](const std::string& l, const std::string& d) {
         fs::remove(l + "/a.mp3");
         return d + "/Rock/A - One.mp3";
       },
       "is gone"},
  };
  for (const LeftCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tree);
    fs::remove_all(state);
    SetUp();
    std::vector<std::string> args = {"rename"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"--dest", dest, lib});
    ASSERT_EQ(Cli(args).Status, 0);
    const std::string kept = c.meddle(lib, dest);
    const std::string keptBytes = ReadFile(kept);

    CliResult plan = Cli({"undo", "--dry-run"});
    EXPECT_EQ(plan.Status, 1);
    EXPECT_THAT(plan.Out, EndsWith("Dry run: 2 files would be restored, and 1 unchanged; nothing "
                                   "was changed.\n"));
    CliResult undo = Cli({"undo"});
    EXPECT_EQ(undo.Status, 1) << undo.Err;
    EXPECT_THAT(undo.Out, HasSubstr(c.reason));
    EXPECT_THAT(undo.Out, EndsWith("\n2 files restored, and 1 unchanged.\n"));
    EXPECT_EQ(ReadFile(kept), keptBytes);
    EXPECT_TRUE(Exists(lib + "/caf\xe9.ogg"));  // the others went back
  }
}

TEST_F(Undo, AJobIsUndoneOnceAndAnUndoCannotBeUndone) {
  ASSERT_EQ(Cli({"rename", "--subfolders", "--rename", lib}).Status, 0);
  ASSERT_EQ(Cli({"undo"}).Status, 0);
  const Snapshot restored = Snap(tree);
  const std::string journal = OnlyJournal();
  const std::string marked = ReadFile(journal);

  CliResult again = Cli({"undo", journal});
  EXPECT_EQ(again.Status, 2);
  EXPECT_THAT(again.Err, StartsWith("dovrename-cli: "));
  EXPECT_THAT(again.Err, HasSubstr("undone already"));
  CliResult newest = Cli({"undo"});
  EXPECT_EQ(newest.Status, 2);
  EXPECT_THAT(newest.Err, HasSubstr("no job to undo"));
  EXPECT_EQ(Snap(tree), restored);
  EXPECT_EQ(ReadFile(journal), marked);
}

TEST_F(Undo, ACorruptJournalGivesAClearErrorAndChangesNothing) {
  ASSERT_EQ(Cli({"rename", "--subfolders", "--rename", "--journal", dir / "job.jsonl", lib}).Status,
            0);
  const std::string good = ReadFile(dir / "job.jsonl");
  const size_t second = good.find('\n') + 1;
  const size_t third = good.find('\n', second) + 1;
  struct Corruption {
    const char* name;
    std::string text;
    const char* error;
  };
  const Corruption cases[] = {
      {"garbage inside", good.substr(0, third) + "{\"op\":\"done\",seq:1}\n" + good.substr(third),
       "line 3: not a journal record"},
      {"a done without intent", good.substr(0, second) + good.substr(third), "without its intent"},
      {"a key twice", good.substr(0, second) + "{\"op\":\"mkdir\",\"op\":\"x\"}\n",
       "line 2: not a journal record"},
      {"another format version",
       "{\"journal\":\"dovrename\",\"version\":99" + good.substr(good.find(",\"started\"")),
       "format version 99"},
      {"not a journal", "{\"some\":\"thing\"}\n" + good.substr(second), "not a DOVRename journal"},
      {"a line too long", good + std::string(300 * 1024, ' ') + "\n", "too long"},
      {"only a line cut short", good.substr(0, 20), "is empty"},
      {"an unknown record", good + "{\"op\":\"explode\"}\n", "unknown record"},
      {"a number too large", good + "{\"op\":\"end\",\"done\":99999999999999999999}\n",
       "not a journal record"},
  };
  const Snapshot before = Snap(tree);
  for (const Corruption& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "corrupt.jsonl";
    WriteFile(path, c.text);
    for (const char* option : {"--dry-run", "--json"}) {
      CliResult undo = Cli({"undo", option, path});
      EXPECT_EQ(undo.Status, 2);
      EXPECT_EQ(undo.Out, "");
      EXPECT_THAT(undo.Err, HasSubstr(c.error));
      EXPECT_THAT(undo.Err, EndsWith("nothing was changed\n"));
      EXPECT_EQ(std::count(undo.Err.begin(), undo.Err.end(), '\n'), 1);
    }
    EXPECT_EQ(ReadFile(path), c.text);
  }
  EXPECT_EQ(Snap(tree), before);
  EXPECT_EQ(Cli({"undo", dir / "missing.jsonl"}).Status, 2);
}

TEST_F(Undo, OnlyAJobThatChangesSomethingKeepsAJournal) {
  EXPECT_EQ(Cli({"rename", "--rename", "--dry-run", lib}).Status, 0);
  EXPECT_EQ(Cli({"rename", "--rename", "--no-journal", lib}).Status, 0);
  EXPECT_EQ(Cli({"rename", "--rename", lib}).Status, 0);  // every name is right already
  EXPECT_TRUE(Journals().empty());
  CliResult undo = Cli({"undo"});
  EXPECT_EQ(undo.Status, 2);
  EXPECT_THAT(undo.Err, HasSubstr("no job to undo"));

  // --journal writes where it is told, and never into an existing file.
  WriteFile(dir / "taken.jsonl", "mine");
  CliResult taken = Cli({"rename", "--move", "--journal", dir / "taken.jsonl", lib});
  EXPECT_EQ(taken.Status, 2);
  EXPECT_THAT(taken.Err, HasSubstr("exists already"));
  EXPECT_EQ(ReadFile(dir / "taken.jsonl"), "mine");
  EXPECT_EQ(Cli({"rename", "--move", "--journal", dir / "new.jsonl", "--no-journal", lib}).Status,
            2);
  EXPECT_FALSE(Exists(dir / "new.jsonl"));
  EXPECT_TRUE(Journals().empty());
}

TEST_F(Undo, AJobWhoseJournalCannotBeKeptDoesNotStart) {
  const Snapshot before = Snap(tree);
  WriteFile(dir / "file", "x");
  const std::vector<std::pair<std::vector<std::string>, EnvVars>> cases = {
      {{"--journal", dir / "missing/j.jsonl"}, {}},
      {{}, {{"XDG_STATE_HOME", dir / "file"}}},
      {{}, {{"XDG_STATE_HOME", "relative"}, {"HOME", ""}}},
  };
  for (const auto& [options, env] : cases) {
    std::vector<std::string> args = {"rename", "--rename", "--move", "--dest", dest};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(lib);
    EnvVars all = {{"XDG_STATE_HOME", state}};
    all.insert(all.end(), env.begin(), env.end());
    CliResult job = RunCli(args, all);
    EXPECT_EQ(job.Status, 2) << job.Out;
    EXPECT_THAT(job.Err, StartsWith("dovrename-cli: "));
    EXPECT_THAT(job.Err, HasSubstr("journal"));
    EXPECT_EQ(Snap(tree), before);
  }
}

TEST_F(Undo, AJournalInUseIsNotUndone) {
  ASSERT_EQ(Cli({"rename", "--rename", lib}).Status, 0);
  const Snapshot renamed = Snap(tree);
  const std::string journal = OnlyJournal();
  // As the job holds its journal while it runs.
  const int fd = ::open(journal.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  CliResult undo = Cli({"undo"});
  ::close(fd);
  EXPECT_EQ(undo.Status, 2);
  EXPECT_THAT(undo.Err, HasSubstr("is in use"));
  EXPECT_EQ(Snap(tree), renamed);
  EXPECT_EQ(Cli({"undo"}).Status, 0);
}

TEST_F(Undo, HistoryListsTheJobsNewestFirst) {
  ASSERT_EQ(Cli({"rename", "--subfolders", "--rename", lib}).Status, 0);
  ASSERT_EQ(Cli({"undo"}).Status, 0);
  ASSERT_EQ(Cli({"rename", "--move", "--dest", dest, lib}).Status, 0);
  ASSERT_EQ(Journals().size(), 2u);
  struct stat st {};
  ASSERT_EQ(::stat(journals.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  CliResult history = Cli({"history", "--json"});
  EXPECT_EQ(history.Status, 0) << history.Err;
  json list = json::parse(history.Out);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["move"], true);
  EXPECT_EQ(list[0]["undone"], false);
  EXPECT_EQ(list[0]["done"], 3);
  EXPECT_EQ(list[0]["total"], 3);
  EXPECT_EQ(list[0]["dest"], dest);
  EXPECT_EQ(list[1]["rename"], true);
  EXPECT_EQ(list[1]["undone"], true);
  EXPECT_EQ(list[1]["source"], lib);
  EXPECT_LT(list[1]["started"].get<std::string>(), list[0]["started"].get<std::string>());

  CliResult text = Cli({"history"});
  EXPECT_THAT(text.Out, StartsWith(list[0]["started"].get<std::string>() + "  move  " + lib +
                                   " -> " + dest + "  3 of 3 done\n"));
  EXPECT_THAT(text.Out, HasSubstr("  4 of 4 done, undone\n"));

  // Undo without a name takes the newest job not yet undone.
  EXPECT_EQ(Cli({"undo"}).Status, 0);
  EXPECT_FALSE(Exists(dest));
}

TEST_F(Undo, JournalPathsAreWholeAndKeepTheirExactBytes) {
  const std::string odd = lib + "/odd\xff";
  fs::create_directory(odd);
  WriteFile(odd + "/\xfe.mp3", Filler(300) + ApeTag({{"Artist", "X"}, {"Title", "T"}}));
  const Snapshot before = Snap(tree);
  // A job given relative paths is undone from another folder.
  const fs::path home = fs::current_path();
  fs::current_path(tree);
  CliResult job = Cli({"rename", "--subfolders", "--rename", "--journal", "j.jsonl", "lib"});
  fs::current_path(home);
  ASSERT_EQ(job.Status, 0) << job.Err;
  const std::string journal = ReadFile(tree + "/j.jsonl");
  EXPECT_THAT(journal, HasSubstr("\"old\":\"" + lib + "/odd\\udcff/\\udcfe.mp3\""));
  EXPECT_THAT(journal, HasSubstr("\"source\":\"" + lib + "\""));
  fs::rename(tree + "/j.jsonl", dir / "j.jsonl");
  CliResult undo = Cli({"undo", dir / "j.jsonl"});
  EXPECT_EQ(undo.Status, 0) << undo.Err;
  EXPECT_EQ(Snap(tree), before);
}

TEST_F(Undo, HelpDocumentsJournalUndoAndHistory) {
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
      {{"--help"}, {"undo", "history"}},
      {{"rename", "--help"}, {"--journal", "--no-journal", "dovrename/journal"}},
      {{"undo", "--help"}, {"--dry-run", "--json", "JOURNAL", "its old path", "undone already"}},
      {{"history", "--help"}, {"--json", "newest first"}},
  };
  for (const auto& [args, words] : cases) {
    CliResult r = Cli(args);
    EXPECT_EQ(r.Status, 0);
    for (const std::string& word : words) EXPECT_THAT(r.Out, HasSubstr(word)) << args[0];
  }
}

}  // namespace
}  // namespace dov::test
