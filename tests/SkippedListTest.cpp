#include "engine/SkippedList.h"

#include <gtest/gtest.h>

#include <vector>

namespace dov {
namespace {

// Each kind, with and without the name it would get, names with escaped
// bytes and with no folder: every field comes back as it went in.
TEST(SkippedList, GivesEachFileBackAsItWasListed) {
  const std::vector<TSkippedFile> files = {
      {u"/lib/a/x.mp3", u"/lib/a/X.mp3", ESkipKind::CaseOnly, 0},
      {u"/lib/a/untagged.ogg", u"", ESkipKind::NoNameTags, 0},
      {u"/lib/b/\xDCFF\xDC80.flac", u"", ESkipKind::Unreadable, EACCES},
      {u"loose.wav", u"", ESkipKind::Unreadable, EIO},
      {u"/lib/a/\xE9.mp3", u"/lib/a/\xC9.mp3", ESkipKind::CaseOnly, 0},
  };
  TSkippedList list;
  for (int round = 0; round < 2; ++round) {  // the second after a clear
    for (const TSkippedFile& file : files) list.push_back(file);
    ASSERT_EQ(list.size(), files.size());
    size_t index = 0;
    for (const TSkippedFile& file : list) {
      const TSkippedFile& want = files[index++];
      EXPECT_TRUE(file.Path == want.Path) << index;
      EXPECT_TRUE(file.NewPath == want.NewPath) << index;
      EXPECT_EQ(file.Kind, want.Kind) << index;
      EXPECT_EQ(file.Error, want.Error) << index;
    }
    list.clear();
    EXPECT_TRUE(list.empty());
  }
}

}  // namespace
}  // namespace dov
