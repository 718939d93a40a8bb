// The dry run and the real job, one after the other on the same trees, must
// agree on every operation: each one foretold to fail fails, each planned
// one succeeds. Run on a tmpfs (or the temporary folder where nothing may be
// mounted) and on a small FAT image, whose names have no letter case and are
// limited in UTF-16 units rather than bytes.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "common/DOVTnt.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::ApeTag;
using test::Filler;
using test::TempDir;
using test::TMount;
using test::WriteFile;

struct TSong {
  std::string Name;  // under the library
  std::string Artist, Title, Genre;
};

// What a case expects of a file: it fails for that reason, or (Collision)
// it is one of a group of which exactly one gets the name.
struct TExpected {
  std::string Name;
  EForetoldFailure Kind;
};

struct TCase {
  const char* What;
  bool Rename, Move, Copy;
  std::vector<TSong> Songs;
  // Makes what stands in the way under root; false when it could not.
  std::function<bool(const std::string& root)> SetUp;
  std::vector<TExpected> Failures;      // on every file system
  std::vector<TExpected> ByteFailures;  // where names are limited in bytes
  std::vector<TExpected> CaseFailures;  // where names have no letter case
  std::vector<std::string> CaseOnly;    // left alone by rule
};

bool MayMount() {
  return ::geteuid() == 0;
}

// A folder that cannot be written: a read-only bind mount of itself as root,
// its mode bits otherwise. False when neither holds (root that may not mount).
bool MakeReadOnly(const std::string& folder, std::vector<std::string>& mounts) {
  if (!MayMount()) return ::chmod(folder.c_str(), 0555) == 0;
  if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  mounts.push_back(folder);
  return ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

std::string Repeat(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

std::vector<TCase> Cases(std::vector<std::string>& mounts) {
  const std::string e = "\xc3\xa9";  // two bytes, one UTF-16 unit
  return {
      {"two or more files for one name",
       true,
       false,
       false,
       {{"a.mp3", "A", "T", ""},
        {"b.mp3", "A", "T", ""},
        {"c.mp3", "C", "T", ""},
        {"d.mp3", "a", "t", ""}},
       nullptr,
       {{"a.mp3", EForetoldFailure::Collision}, {"b.mp3", EForetoldFailure::Collision}},
       {},
       {{"d.mp3", EForetoldFailure::Collision}},
       {}},
      {"names taken by files that exist now",
       true,
       false,
       true,
       {{"a.mp3", "A", "T", "Rock"}, {"b.mp3", "B", "T", "Rock"}, {"c.mp3", "C", "T", "Pop"}},
       [](const std::string& root) {
         fs::create_directories(root + "/out/Rock");
         WriteFile(root + "/out/Rock/A - T.mp3", "taken");
         WriteFile(root + "/out/Rock/b - t.mp3", "taken where case does not count");
         return true;
       },
       {{"a.mp3", EForetoldFailure::Exists}},
       {},
       {{"b.mp3", EForetoldFailure::Exists}},
       {}},
      {"names and folders too long",
       true,
       true,
       false,
       {{"a.mp3", "A", std::string(300, 'x'), "Rock"},
        {"b.mp3", "B", Repeat(e, 120), "Rock"},
        {"c.mp3", "C", Repeat(e, 130), "Rock"},
        {"d.mp3", "D", "T", std::string(256, 'g')},
        {"f.mp3", "F", "T", "Rock"}},
       nullptr,
       {{"a.mp3", EForetoldFailure::NameTooLong}, {"d.mp3", EForetoldFailure::NameTooLong}},
       {{"c.mp3", EForetoldFailure::NameTooLong}},
       {},
       {}},
      {"folders that cannot be created or written",
       false,
       false,
       true,
       {{"a.mp3", "A", "T", "Jazz"},
        {"b.mp3", "B", "T", "Rock"},
        {"c.mp3", "C", "T", "Pop"},
        {"d.mp3", "D", "T", "Soul"}},
       [&mounts](const std::string& root) {
         fs::create_directories(root + "/out/Rock");
         fs::create_directories(root + "/out/locked");
         WriteFile(root + "/out/Jazz", "a file in the way");
         fs::create_symlink("locked/Soul", root + "/out/Soul");  // a dangling link in the way
         return MakeReadOnly(root + "/out/Rock", mounts);
       },
       {{"a.mp3", EForetoldFailure::Folder},
        {"b.mp3", EForetoldFailure::Folder},
        {"d.mp3", EForetoldFailure::Folder}},
       {},
       {},
       {}},
      {"changes only in letter case",
       true,
       false,
       false,
       {{"a - t.mp3", "A", "T", ""}, {"b - t.MP3", "B", "T", ""}, {"c.mp3", "C", "T", ""}},
       nullptr,
       {},
       {},
       {},
       {"a - t.mp3", "b - t.MP3"}},
  };
}

struct TOutcome {
  std::vector<std::pair<std::u16string, std::u16string>> Operations;
  std::vector<bool> Ok;
  std::vector<std::u16string> CaseOnly;
};

TOutcome RunJob(IFileOps& ops, const TRenameOptions& options) {
  test::TRecordingView view;
  TRenameEngine engine(ops, view);
  const TJobResult result = engine.Run(options);
  TOutcome outcome;
  for (const TRenameEntry& entry : engine.RenameList()) {
    outcome.Operations.push_back({entry.OldPath, entry.NewPath});
    outcome.Ok.push_back(entry.Ok == true);
  }
  for (const TSkippedFile& file : engine.SkippedFiles())
    if (file.Kind == ESkipKind::CaseOnly) outcome.CaseOnly.push_back(file.Path);
  EXPECT_EQ(result.Total, static_cast<int>(outcome.Operations.size()));
  return outcome;
}

// What the case foretells on this file system, by source path.
std::map<std::u16string, EForetoldFailure> Expected(const TCase& c, const std::string& lib,
                                                    bool fat, bool blocked) {
  std::map<std::u16string, EForetoldFailure> expected;
  auto add = [&](const std::vector<TExpected>& list) {
    for (const TExpected& e : list) expected[test::W(lib + "/" + e.Name)] = e.Kind;
  };
  add(c.Failures);
  add(fat ? c.CaseFailures : c.ByteFailures);
  // Where the folder could not be made read-only, its file goes through.
  if (!blocked) expected.erase(test::W(lib + "/b.mp3"));
  return expected;
}

void CheckCase(const TCase& c, const std::string& root, bool fat) {
  SCOPED_TRACE(c.What);
  const std::string lib = root + "/lib";
  fs::create_directories(lib);
  for (const TSong& song : c.Songs)
    WriteFile(lib + "/" + song.Name,
              Filler(300) +
                  ApeTag({{"Artist", song.Artist}, {"Title", song.Title}, {"Genre", song.Genre}}));
  const bool blocked = c.SetUp == nullptr || c.SetUp(root);
  TRenameOptions options{test::W(lib), test::W(root + "/out"), false, c.Rename, c.Move, c.Copy};

  TDryRunFileOps dryOps;
  const TOutcome dry = RunJob(dryOps, options);
  // Foretold as the job lists or only when it asks: the same forecast.
  TDryRunFileOps askedOps;
  askedOps.SetForetellAhead(false);
  const TOutcome asked = RunJob(askedOps, options);
  ASSERT_EQ(asked.Operations, dry.Operations);
  EXPECT_EQ(asked.Ok, dry.Ok);
  for (const auto& [from, to] : dry.Operations) {
    const TForetoldFailure *ahead = dryOps.FailureOf(from), *when = askedOps.FailureOf(from);
    ASSERT_EQ(ahead == nullptr, when == nullptr) << WideToNative(from);
    if (ahead != nullptr) {
      EXPECT_EQ(ahead->Kind, when->Kind) << WideToNative(from);
      EXPECT_EQ(ahead->Winner, when->Winner) << WideToNative(from);
    }
  }
  TLinuxFileOps realOps;
  const TOutcome real = RunJob(realOps, options);
  ASSERT_EQ(dry.Operations, real.Operations);
  EXPECT_EQ(dry.CaseOnly, real.CaseOnly);

  const auto expected = Expected(c, lib, fat, blocked);
  std::set<std::u16string> caseOnly;
  for (const std::string& name : c.CaseOnly) caseOnly.insert(test::W(lib + "/" + name));
  EXPECT_EQ(std::set<std::u16string>(dry.CaseOnly.begin(), dry.CaseOnly.end()), caseOnly);
  std::map<std::u16string, std::u16string> winners;  // new path: the one that got it
  for (size_t i = 0; i < dry.Operations.size(); ++i) {
    const std::u16string& old = dry.Operations[i].first;
    const std::string shown = WideToNative(old);
    EXPECT_EQ(dry.Ok[i], real.Ok[i]) << shown << (dry.Ok[i] ? " planned" : " foretold to fail");
    const TForetoldFailure* failure = dryOps.FailureOf(old);
    EXPECT_EQ(failure == nullptr, dry.Ok[i]) << shown;
    auto want = expected.find(old);
    if (want == expected.end()) {
      EXPECT_TRUE(dry.Ok[i]) << shown << " was not expected to fail";
    } else if (want->second == EForetoldFailure::Collision) {
      // The first of a group in walk order gets the name; the others name it.
      const std::u16string key =
          fat ? FoldCase(dry.Operations[i].second) : dry.Operations[i].second;
      if (dry.Ok[i]) {
        EXPECT_TRUE(winners.emplace(key, old).second) << shown;
      } else if (failure != nullptr) {
        EXPECT_EQ(failure->Kind, EForetoldFailure::Collision) << shown;
        EXPECT_EQ(failure->Winner, winners[key]) << shown;
      }
    } else if (failure != nullptr) {
      EXPECT_EQ(failure->Kind, want->second) << shown;
    } else {
      ADD_FAILURE() << shown << " was expected to fail";
    }
  }
}

void CheckAllCases(const std::string& scratch, bool fat) {
  std::vector<std::string> mounts;
  int n = 0;
  for (const TCase& c : Cases(mounts)) {
    const std::string root = scratch + "/case" + std::to_string(n++);
    fs::create_directories(root);
    CheckCase(c, root, fat);
  }
  for (const std::string& mount : mounts) ::umount2(mount.c_str(), MNT_DETACH);
  // The read-only folders made by their mode bits go again.
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(scratch, ec))
    if (entry.is_directory(ec)) fs::permissions(entry.path(), fs::perms::owner_all, ec);
}

TEST(DryRunAgreement, OnTmpfsOrTheTemporaryFolder) {
  TempDir dir;
  const std::string scratch = dir / "scratch";
  fs::create_directory(scratch);
  const TMount mount = TMount::Tmpfs(scratch);
  if (!MayMount() || !mount.Valid())
    std::fprintf(stderr, "(no tmpfs may be mounted here: the temporary folder is used)\n");
  CheckAllCases(scratch, false);
}

// A link to a file on another file system is renamed where it stands: its
// forecast looks at the link, not at the file the tags were read from.
TEST(DryRunAgreement, ALinkIsForetoldByItselfNotByTheFileItNames) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm on this machine";
  TempDir dir, other("/dev/shm");
  struct stat here {
  }, there{};
  ASSERT_EQ(::stat(dir.Path().c_str(), &here), 0);
  ASSERT_EQ(::stat(other.Path().c_str(), &there), 0);
  if (here.st_dev == there.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
  const std::string lib = dir / "lib";
  fs::create_directories(lib);
  WriteFile(other / "real.mp3", Filler(300) + ApeTag({{"Artist", "A"}, {"Title", "T"}}));
  fs::create_symlink(other / "real.mp3", lib + "/link.mp3");
  WriteFile(lib + "/plain.mp3", Filler(300) + ApeTag({{"Artist", "B"}, {"Title", "T"}}));
  const TRenameOptions options{test::W(lib), test::W(dir / "out"), false, true, false, false};
  TDryRunFileOps dryOps;
  const TOutcome dry = RunJob(dryOps, options);
  TLinuxFileOps realOps;
  const TOutcome real = RunJob(realOps, options);
  EXPECT_EQ(dry.Ok, (std::vector<bool>{true, true}));
  EXPECT_EQ(real.Ok, dry.Ok);
  EXPECT_TRUE(fs::is_symlink(lib + "/A - T.mp3"));
}

TEST(DryRunAgreement, OnAFatImage) {
  if (!MayMount()) GTEST_SKIP() << "mounting a FAT image needs root";
  TempDir dir;
  const std::string scratch = dir / "fat";
  fs::create_directory(scratch);
  const TMount mount =
      TMount::LoopImage(dir / "fat.img", scratch, "vfat", off_t{16} << 20, "", "utf8=1");
  if (!mount.Valid()) GTEST_SKIP() << "no FAT image can be mounted here: " << mount.Why();
  CheckAllCases(scratch, true);
}

}  // namespace
}  // namespace dov
