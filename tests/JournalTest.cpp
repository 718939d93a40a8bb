// The journal's writer and reader, and the decorator that journals the file
// operations, without the command-line tool around them.
#include "engine/Journal.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "common/DOVTnt.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::ReadFile;
using test::TempDir;
using test::W;
using test::WriteFile;
using ::testing::HasSubstr;
using ::testing::Not;

// Operations that succeed or fail as told, leaving a chosen errno.
class TScriptedFileOps : public IFileOps {
 public:
  bool CreateFolders(const std::u16string& path) override {
    std::filesystem::create_directories(WideToNative(path));
    return true;
  }
  bool MoveFile(const std::u16string& from, const std::u16string& to, bool) override {
    return Do(from, to, true);
  }
  bool CopyFile(const std::u16string& from, const std::u16string& to) override {
    return Do(from, to, false);
  }
  int failWith = 0;  // 0: succeed
  int calls = 0;

 private:
  bool Do(const std::u16string& from, const std::u16string& to, bool move) {
    ++calls;
    if (failWith != 0) {
      errno = failWith;
      return false;
    }
    std::filesystem::copy_file(WideToNative(from), WideToNative(to));
    if (move) std::filesystem::remove(WideToNative(from));
    return true;
  }
};

TJournalHeader Header(const std::string& source) {
  TJournalHeader header;
  header.Started = UtcNow();
  header.Source = source;
  header.Dest = source + "/out";
  header.Rename = true;
  header.Move = true;
  return header;
}

TEST(Journal, RecordsEveryOperationWithItsOutcomeAndKeepsErrno) {
  TempDir dir;
  const std::string a = dir / "a\xff.mp3", b = dir / "b.mp3";
  WriteFile(a, "abc");
  WriteFile(b, "defg");
  const std::string path = dir / "j.jsonl";
  TScriptedFileOps inner;
  {
    TJournalWriter writer(path, Header(dir.Path().string()));
    TJournalingFileOps ops(inner, writer);
    EXPECT_TRUE(ops.CreateFolders(W(dir / "out/Rock")));
    EXPECT_TRUE(ops.MoveFile(W(a), W(dir / "out/Rock/A\xfe.mp3"), false));
    inner.failWith = EXDEV;
    errno = 0;
    EXPECT_FALSE(ops.MoveFile(W(b), W(dir / "out/Rock/B.mp3"), true));
    EXPECT_EQ(errno, EXDEV);  // as the wrapped operation left it
    inner.failWith = 0;
    EXPECT_TRUE(ops.CopyFile(W(b), W(dir / "out/Rock/B.mp3")));
    EXPECT_TRUE(ops.Finish(2, 3));
  }
  const TJournal journal = ReadJournal(path);
  EXPECT_EQ(journal.Header.Source, dir.Path().string());
  EXPECT_TRUE(journal.Header.Move);
  EXPECT_FALSE(journal.Header.Copy);
  EXPECT_EQ(journal.CreatedFolders,
            (std::vector<std::string>{dir / "out", dir / "out/Rock"}));  // top down
  ASSERT_EQ(journal.Ops.size(), 3u);
  struct Expected {
    TJournalKind kind;
    std::string old, now;
    TJournalOp::TState state;
    int64_t size;
  };
  const Expected expected[] = {
      {TJournalKind::Rename, a, dir / "out/Rock/A\xfe.mp3", TJournalOp::TState::Done, 3},
      {TJournalKind::Move, b, dir / "out/Rock/B.mp3", TJournalOp::TState::Failed, 4},
      {TJournalKind::Copy, b, dir / "out/Rock/B.mp3", TJournalOp::TState::Done, 4},
  };
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const TJournalOp& op = journal.Ops[i];
    EXPECT_EQ(op.Seq, static_cast<int64_t>(i + 1));
    EXPECT_EQ(op.Kind, expected[i].kind);
    EXPECT_EQ(op.Old, expected[i].old);  // exact bytes
    EXPECT_EQ(op.New, expected[i].now);
    EXPECT_EQ(op.State, expected[i].state);
    ASSERT_TRUE(op.Before.has_value());
    EXPECT_EQ(op.Before->Size, expected[i].size);
  }
  EXPECT_EQ(journal.Ops[1].Errno, EXDEV);
  EXPECT_TRUE(journal.Finished);
  EXPECT_EQ(journal.EndDone, 2);
  EXPECT_EQ(journal.EndTotal, 3);
  EXPECT_FALSE(journal.Undone);
}

TEST(Journal, NothingChangesThatTheJournalCannotHold) {
  TempDir dir;
  const std::string a = dir / "a.mp3";
  WriteFile(a, "abc");
  TScriptedFileOps inner;
  TJournalWriter writer(dir / "missing/j.jsonl", Header(dir.Path().string()));
  TJournalingFileOps ops(inner, writer);
  errno = 0;
  EXPECT_FALSE(ops.MoveFile(W(a), W(dir / "b.mp3"), false));
  EXPECT_NE(errno, 0);
  EXPECT_EQ(inner.calls, 0);  // the operation was not made
  EXPECT_TRUE(writer.Failed());
  EXPECT_THAT(writer.Error(), HasSubstr("cannot create the journal"));
  EXPECT_FALSE(ops.CreateFolders(W(dir / "out")));
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
  EXPECT_FALSE(ops.Finish(0, 1));
}

TEST(Journal, AJobThatChangesNothingLeavesNoJournal) {
  TempDir dir;
  TScriptedFileOps inner;
  TJournalWriter writer(dir / "j.jsonl", Header(dir.Path().string()));
  TJournalingFileOps ops(inner, writer);
  EXPECT_TRUE(ops.CreateFolders(W(dir.Path().string())));  // exists already
  EXPECT_TRUE(ops.Finish(0, 0));
  EXPECT_FALSE(test::Exists(dir / "j.jsonl"));
}

TEST(Journal, MarkingUndoneDropsALineCutShortAndLocksOutASecondUndo) {
  TempDir dir;
  const std::string path = dir / "j.jsonl";
  const std::string whole =
      "{\"journal\":\"dovrename\",\"version\":1,\"started\":\"t\",\"source\":\"/s\",\"dest\":\"/"
      "d\"}\n"
      "{\"op\":\"intent\",\"seq\":1,\"kind\":\"rename\",\"old\":\"/s/\\udcff\",\"new\":\"/s/b\"}\n";
  WriteFile(path, whole + "{\"op\":\"done\",\"se");
  const TJournal journal = ReadJournal(path);
  ASSERT_EQ(journal.Ops.size(), 1u);
  EXPECT_EQ(journal.Ops[0].Old, "/s/\xff");
  EXPECT_EQ(journal.Ops[0].State, TJournalOp::TState::Pending);
  EXPECT_EQ(journal.CompleteLength, whole.size());
  {
    TJournalLock lock(path);
    EXPECT_THROW(TJournalLock second(path), EJournalError);
    ASSERT_TRUE(MarkJournalUndone(journal, lock, 1, 0));
  }
  const std::string marked = ReadFile(path);
  EXPECT_EQ(marked.substr(0, whole.size()), whole);
  EXPECT_THAT(marked.substr(whole.size()), ::testing::StartsWith("{\"op\":\"undone\""));
  EXPECT_THAT(marked, Not(HasSubstr("\"se\n")));
  EXPECT_TRUE(ReadJournal(path).Undone);
}

TEST(Journal, TheNulPaddingAfterTheLastRecordIsReadAsUnwritten) {
  TempDir dir;
  const std::string path = dir / "j.jsonl";
  const std::string whole =
      "{\"journal\":\"dovrename\",\"version\":1,\"started\":\"t\",\"source\":\"/s\",\"dest\":\"/"
      "d\"}\n"
      "{\"op\":\"intent\",\"seq\":1,\"kind\":\"rename\",\"old\":\"/s/a\",\"new\":\"/s/b\"}\n";
  const std::string zeros(70000, '\0');
  struct Case {
    const char* name;
    std::string tail;
  };
  const Case cases[] = {
      {"padding alone", zeros},
      {"a record cut short, then padding", "{\"op\":\"done\",\"se" + zeros},
      {"a record stored in part, its middle not yet",
       "{\"op\":\"do" + zeros.substr(0, 9) + "}" + zeros},
      // A power cut: a later page reached the disk, an earlier one did not.
      {"a whole line after the padding", zeros + "{\"op\":\"done\",\"seq\":1}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path, whole + c.tail);
    const TJournal journal = ReadJournal(path);
    ASSERT_EQ(journal.Ops.size(), 1u);
    EXPECT_EQ(journal.Ops[0].State, TJournalOp::TState::Pending);
    EXPECT_FALSE(journal.Finished);
    EXPECT_EQ(journal.CompleteLength, whole.size());
    {
      TJournalLock lock(path);
      ASSERT_TRUE(MarkJournalUndone(journal, lock, 0, 1));
    }
    const std::string marked = ReadFile(path);
    EXPECT_EQ(marked.find('\0'), std::string::npos);
    EXPECT_TRUE(ReadJournal(path).Undone);
  }
  WriteFile(path, zeros + whole);
  EXPECT_THROW(ReadJournal(path), EJournalError);  // not even a header
}

// A job killed while the journal is mapped: every record stored before the
// kill is in the file, in more than one window of the mapping, and the room
// reserved after them reads as unwritten.
TEST(Journal, AJobKilledWhileTheJournalIsMappedLeavesEveryRecord) {
  TempDir dir;
  const std::string path = dir / "j.jsonl";
  const std::string source = dir.Path().string();
  constexpr int kRecords = 6000;  // some 2 MB: the mapping moves on twice
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TJournalWriter writer(path, Header(source));
    for (int i = 1; i <= kRecords; ++i)
      if (!writer.Append("{\"op\":\"intent\",\"seq\":" + std::to_string(i) +
                         ",\"kind\":\"rename\",\"old\":\"" + source + "/" + std::string(200, 'o') +
                         "\",\"new\":\"" + source + "/n\"}"))
        ::_exit(3);
    ::raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  const TJournal journal = ReadJournal(path);
  ASSERT_EQ(journal.Ops.size(), static_cast<size_t>(kRecords));
  EXPECT_EQ(journal.Ops.back().Seq, kRecords);
  EXPECT_EQ(journal.Ops.back().New, source + "/n");
  EXPECT_GT(std::filesystem::file_size(path), journal.CompleteLength);  // the room reserved
  {
    TJournalLock lock(path);
    ASSERT_TRUE(MarkJournalUndone(journal, lock, kRecords, 0));
  }
  EXPECT_EQ(ReadJournal(path).Ops.size(), static_cast<size_t>(kRecords));
  EXPECT_EQ(ReadFile(path).find('\0'), std::string::npos);
}

TEST(Journal, AFinishedJournalHoldsItsRecordsAndNothingElse) {
  TempDir dir;
  TScriptedFileOps inner;
  const std::string path = dir / "j.jsonl";
  std::vector<std::string> files;
  for (int i = 0; i < 40; ++i) {
    files.push_back(dir / ("f" + std::to_string(i) + ".mp3"));
    WriteFile(files.back(), std::string(static_cast<size_t>(i), 'x'));
  }
  {
    TJournalWriter writer(path, Header(dir.Path().string()));
    TJournalingFileOps ops(inner, writer);
    for (int round = 0; round < 2; ++round)  // the genre folder is journaled once
      for (const char* genre : {"out/Rock", "out/Jazz"})
        EXPECT_TRUE(ops.CreateFolders(W(dir / genre)));
    for (const std::string& file : files)
      EXPECT_TRUE(ops.MoveFile(W(file), W(file + ".moved"), false));
    EXPECT_TRUE(ops.Finish(40, 40));
  }
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 3 + 2 * 40 + 1);
  const TJournal journal = ReadJournal(path);
  EXPECT_EQ(journal.CreatedFolders,
            (std::vector<std::string>{dir / "out", dir / "out/Rock", dir / "out/Jazz"}));
  ASSERT_EQ(journal.Ops.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    EXPECT_EQ(journal.Ops[i].State, TJournalOp::TState::Done);
    ASSERT_TRUE(journal.Ops[i].Before.has_value());
    EXPECT_EQ(journal.Ops[i].Before->Size, static_cast<int64_t>(i));  // this file's, not another's
  }
}

TEST(Journal, NamesSortByTimeAndTheFolderFollowsTheBaseDirectoryRules) {
  EXPECT_THAT(NewJournalName("2026-12-09T14:25:01.123456Z"),
              ::testing::MatchesRegex("20261209T142501\\.123456Z-[0-9]+\\.jsonl"));
  TempDir dir;
  for (const char* name : {"20261209T142501.000002Z-1.jsonl", "20261209T142501.000010Z-9.jsonl",
                           "20251231T235959.999999Z-5.jsonl", ".hidden.jsonl", "notes.txt"})
    WriteFile(dir / name, "");
  EXPECT_EQ(ListJournals(dir.Path().string()),
            (std::vector<std::string>{dir / "20261209T142501.000010Z-9.jsonl",
                                      dir / "20261209T142501.000002Z-1.jsonl",
                                      dir / "20251231T235959.999999Z-5.jsonl"}));

  const char* oldState = std::getenv("XDG_STATE_HOME");
  const char* oldHome = std::getenv("HOME");
  const std::string savedState = oldState ? oldState : "", savedHome = oldHome ? oldHome : "";
  struct Case {
    const char* state;
    const char* home;
    const char* folder;
  };
  const Case cases[] = {
      {"/st", "/h", "/st/dovrename/journal"},
      {"relative", "/h", "/h/.local/state/dovrename/journal"},  // a relative one is ignored
      {nullptr, "/h", "/h/.local/state/dovrename/journal"},
      {nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    c.state ? ::setenv("XDG_STATE_HOME", c.state, 1) : ::unsetenv("XDG_STATE_HOME");
    c.home ? ::setenv("HOME", c.home, 1) : ::unsetenv("HOME");
    EXPECT_EQ(DefaultJournalFolder(), c.folder);
  }
  oldState ? ::setenv("XDG_STATE_HOME", savedState.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
  oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace dov
