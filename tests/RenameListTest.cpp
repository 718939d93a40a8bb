#include "engine/RenameList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dov {
namespace {

struct TPair {
  const char* What;
  std::u16string Old, New;
};

// Paths of every shape the engine lists: shared and differing folders,
// genre folders taken in turn, bytes that are not UTF-8 (escaped as
// U+DC80..U+DCFF), halves of pairs, each packing's edges, and names longer
// than a chunk of the store.
std::vector<TPair> Pairs() {
  const std::u16string lib = u"/music/Shelf 00/Box 0000/";
  return {
      {"a rename in place", lib + u"00000 track.mp3", lib + u"Artist - Title.mp3"},
      {"the same folder again", lib + u"00001 track.ogg", lib + u"Other - Song.ogg"},
      {"into a genre folder", lib + u"a.mp3", u"/out/Rock/a.mp3"},
      {"into another", lib + u"b.mp3", u"/out/Pop/b.mp3"},
      {"back to the first", u"/music/Shelf 01/c.mp3", u"/out/Rock/c.mp3"},
      {"bytes that are not UTF-8", u"/music/\xDC80\xDCFF/n\xDCE9.mp3", u"/out/\xDCC3/x\xDC80"},
      {"a pair and a lone half", u"/m/\xD83C\xDFB5.mp3", u"/m/\xD800 \xDFFF.mp3"},
      {"each packing's edges", u"/m/\x7F\x80\x7FF\x800\xFFFF", u"/m/\x01\xFFFE"},
      {"a NUL unit", std::u16string(u"/m/a\0b", 6), u"/m/ab"},
      {"no folder", u"plain.mp3", u"Artist - Title.mp3"},
      {"no name", u"/m/dir/", u"/m/"},
      {"empty", u"", u""},
      {"a name longer than a chunk", lib + std::u16string(100000, u'\xE9'),
       u"/out/Rock/" + std::u16string(70000, u'x') + u".mp3"},
      {"after it", lib + u"d.mp3", lib + u"e.mp3"},
  };
}

void ExpectEntry(const TRenameEntry& entry, const TPair& pair) {
  EXPECT_TRUE(entry.OldPath == pair.Old) << pair.What;
  EXPECT_TRUE(entry.NewPath == pair.New) << pair.What;
}

TEST(RenameList, GivesEachPathBackUnitForUnit) {
  const std::vector<TPair> pairs = Pairs();
  TRenameList list;
  for (const TPair& pair : pairs) list.Append(pair.Old, pair.New);
  ASSERT_EQ(list.size(), pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    const TRenameEntry entry = list[i];
    ExpectEntry(entry, pairs[i]);
    EXPECT_FALSE(entry.Ok.has_value()) << pairs[i].What;
    EXPECT_EQ(entry.Error, 0) << pairs[i].What;
  }
  size_t index = 0;
  for (const TRenameEntry& entry : list) ExpectEntry(entry, pairs[index++]);
  EXPECT_EQ(index, pairs.size());
}

TEST(RenameList, RecordsEachOutcomeOnItsOwnEntry) {
  const std::vector<TPair> pairs = Pairs();
  TRenameList list;
  for (const TPair& pair : pairs) list.Append(pair.Old, pair.New);
  struct TOutcome {
    size_t Index;
    bool Ok;
    int Error;
  };
  const TOutcome outcomes[] = {{0, true, 0}, {2, false, EEXIST}, {5, false, EXDEV}, {12, true, 0}};
  for (const TOutcome& outcome : outcomes)
    list.SetOutcome(outcome.Index, outcome.Ok, outcome.Error);
  for (size_t i = 0; i < pairs.size(); ++i) {
    const TRenameEntry entry = list[i];
    ExpectEntry(entry, pairs[i]);
    std::optional<bool> ok;
    int error = 0;
    for (const TOutcome& outcome : outcomes)
      if (outcome.Index == i) ok = outcome.Ok, error = outcome.Error;
    EXPECT_EQ(entry.Ok, ok) << pairs[i].What;
    EXPECT_EQ(entry.Error, error) << pairs[i].What;
  }
  // A copy keeps the outcomes; the list cleared is empty and takes new entries.
  const TRenameList copy = list;
  EXPECT_EQ(copy[2].Ok, false);
  list.Clear();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), list.end());
  list.Append(u"/a/b", u"/a/c");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_TRUE(list[0].NewPath == u"/a/c");
  EXPECT_EQ(copy.size(), pairs.size());
  ExpectEntry(copy[12], pairs[12]);
}

// Enough entries for many chunks of entries and of names, their folders
// changing as a walk's do, each one looked up afterwards.
TEST(RenameList, ALargeListKeepsEveryEntryInOrder) {
  constexpr int kCount = 20000;
  auto oldPath = [](int i) {
    return u"/lib/Shelf " + std::u16string(1, static_cast<char16_t>(u'A' + i / 1000)) + u"/" +
           std::u16string(static_cast<size_t>(i % 7), u'\xDC81') + u"track.mp3";
  };
  auto newPath = [](int i) {
    return u"/out/Genre " + std::u16string(1, static_cast<char16_t>(u'a' + i % 13)) +
           u"/Artist \x263A " + std::u16string(static_cast<size_t>(i % 50), u'n') + u".mp3";
  };
  TRenameList list;
  for (int i = 0; i < kCount; ++i) list.Append(oldPath(i), newPath(i));
  for (int i = 0; i < kCount; i += 3) list.SetOutcome(static_cast<size_t>(i), i % 2 == 0, i % 2);
  ASSERT_EQ(list.size(), static_cast<size_t>(kCount));
  int i = 0;
  for (auto it = list.begin(); it != list.end(); ++it, ++i) {
    ASSERT_TRUE(it->OldPath == oldPath(i)) << i;
    ASSERT_TRUE(it->NewPath == newPath(i)) << i;
    ASSERT_EQ(it->Ok, i % 3 == 0 ? std::optional<bool>(i % 2 == 0) : std::nullopt) << i;
    ASSERT_EQ(it->Error, i % 3 == 0 ? i % 2 : 0) << i;
  }
}

}  // namespace
}  // namespace dov
