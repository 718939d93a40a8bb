#include "engine/PlaceMap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dov {
namespace {

using namespace std::string_literals;

// Places that share a folder, a name, or a split point with another, and
// bytes of every value: each is its own place.
TEST(PlaceMap, TellsApartPlacesThatShareFoldersNamesOrText) {
  const std::vector<std::string> places = {"64:12/a.mp3",
                                           "64:12/b.mp3",
                                           "64:13/a.mp3",
                                           "64:12/Rock/a.mp3",
                                           "64:12/Rock/",
                                           "64:12/",
                                           "64:1/2/a.mp3",
                                           "a.mp3",
                                           "",
                                           "/",
                                           "x\0y/n\0"s,
                                           "64:12/\xFF\x80",
                                           "64:12/\xFF"};
  TPlaceMap map;
  for (const std::string& place : places) EXPECT_EQ(map.Get(place), 0u) << place;
  for (size_t i = 0; i < places.size(); ++i) map.Set(places[i], 100 + i);
  for (size_t i = 0; i < places.size(); ++i) EXPECT_EQ(map.Get(places[i]), 100 + i) << places[i];
  map.Set(places[3], ~uint64_t{0});
  for (size_t i = 0; i < places.size(); ++i)
    EXPECT_EQ(map.Get(places[i]), i == 3 ? ~uint64_t{0} : 100 + i) << places[i];
  EXPECT_EQ(map.Get("64:12/c.mp3"), 0u);  // a known folder, a new name
  EXPECT_EQ(map.Get("64:14/a.mp3"), 0u);  // a new folder, a known name
}

// Enough places to grow the table many times, in many folders; each keeps
// its value, and places never set stay without one.
TEST(PlaceMap, KeepsEveryValueThroughGrowth) {
  constexpr int kCount = 60000;
  auto place = [](int i) {
    return "2049:" + std::to_string(i % 300) + "/Artist - Title " + std::to_string(i) + ".mp3";
  };
  TPlaceMap map;
  for (int i = 0; i < kCount; ++i) map.Set(place(i), static_cast<uint64_t>(i) * 2 + 1);
  for (int i = 0; i < kCount; i += 2) map.Set(place(i), map.Get(place(i)) + 1);
  for (int i = 0; i < kCount; ++i)
    ASSERT_EQ(map.Get(place(i)), static_cast<uint64_t>(i) * 2 + 1 + (i % 2 == 0)) << i;
  for (int i = kCount; i < kCount + 1000; ++i) ASSERT_EQ(map.Get(place(i)), 0u) << i;
}

}  // namespace
}  // namespace dov
