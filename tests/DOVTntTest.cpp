#include "common/DOVTnt.h"

#include <gtest/gtest.h>

TEST(Smoke, Builds) {
  EXPECT_TRUE(
      dov::IsUTF8Marked("\x7F"
                        "a"));
}
