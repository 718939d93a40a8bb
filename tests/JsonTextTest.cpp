#include "common/JsonText.h"

#include <gtest/gtest.h>

#include <string>

namespace dov {
namespace {

struct TQuoteCase {
  std::string bytes;
  std::string json;
};

TEST(JsonText, QuotesExactBytesAndReadsThemBack) {
  const TQuoteCase cases[] = {
      {"", R"("")"},
      {"plain name.mp3", R"("plain name.mp3")"},
      {"say \"hi\" \\ /", R"("say \"hi\" \\ /")"},
      {"a\nb\rc\td\x01\x1f\x7f", "\"a\\nb\\rc\\td\\u0001\\u001f\x7f\""},
      {"Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5",
       "\"Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5\""},
      {"caf\xE9", R"("caf\udce9")"},                          // Latin-1 byte
      {"\xC0\x80", R"("\udcc0\udc80")"},                      // overlong NUL
      {"\xED\xB3\xA9", R"("\udced\udcb3\udca9")"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", R"("\udcf4\udc90\udc80\udc80")"},  // past U+10FFFF
      {"\xE2\x82", R"("\udce2\udc82")"},                      // cut short
      {"\xFF\xFEok", R"("\udcff\udcfeok")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(JsonQuote(c.bytes), c.json);
    std::string_view text = c.json;
    EXPECT_EQ(JsonUnquote(text), c.bytes);
    EXPECT_TRUE(text.empty());
  }
}

TEST(JsonText, ReadsOtherWritersEscapes) {
  std::string_view text = R"("\u00e9\/\ud83c\udfb5\b\f" rest)";
  EXPECT_EQ(JsonUnquote(text), "\xC3\xA9/\xF0\x9F\x8E\xB5\b\f");
  EXPECT_EQ(text, " rest");
}

TEST(JsonText, MalformedStringsAreRefusedAndLeaveTheTextAlone) {
  for (const std::string_view bad :
       {R"("open)", R"(no quote)", R"("bad \x escape")", R"("\u12")", R"("\ud83c alone")",
        R"("\udc00")", "\"raw \x01 control\"", R"("\)"}) {
    SCOPED_TRACE(bad);
    std::string_view text = bad;
    EXPECT_EQ(JsonUnquote(text), std::nullopt);
    EXPECT_EQ(text, bad);
  }
}

}  // namespace
}  // namespace dov
