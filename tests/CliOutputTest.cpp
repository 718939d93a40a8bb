// The command-line tool's output: escaped text for people, exact JSON for
// scripts.
#include "cli/Output.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/JsonText.h"

namespace dov::cli {
namespace {

TEST(EscapeControls, ShowsControlCharactersAsLsDoes) {
  const std::pair<std::string, std::string> rows[] = {
      {"plain name.mp3", "plain name.mp3"},
      {"two\nlines", "two\\nlines"},
      {"\t\r\a\b\f\v", "\\t\\r\\a\\b\\f\\v"},
      {"\x1B[2J", "\\033[2J"},
      {std::string("a\0b", 3), "a\\000b"},
      {"\x01\x02\x1F\x7F", "\\001\\002\\037\\177"},
      {"back\\slash", "back\\\\slash"},  // so that "\n" written out stays apart from a line feed
      {"Björk – Jóga ♪", "Björk – Jóga ♪"},
      {"\xC2\x9B"
       "1m",
       "\\302\\2331m"},                  // U+009B, the one-character CSI
      {"\xC2\xA0", "\xC2\xA0"},          // U+00A0 is no control
      {"caf\xE9 \xC2", "caf\xE9 \xC2"},  // bytes that are not UTF-8 stay
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(EscapeControls(in), out) << in;
}

// For valid UTF-8 the writer gives the bytes the JSON library gave before.
TEST(JsonWriter, MatchesTheCompactFormOfTheJsonLibrary) {
  const std::string odd = "q\"b\\s/ \n\t\x01\x1F\x7F é ♪ \xF0\x9F\x8E\xB5";
  TJsonWriter writer;
  writer.BeginObject().Key("entries").BeginArray();
  writer.BeginObject().Key("old").String(odd).Key("new").String("n").Key("ok").Null().EndObject();
  writer.BeginObject().Key("old").String("").Key("new").String(odd).Key("ok").Bool(true);
  writer.EndObject().BeginObject().Key("fields").BeginArray().EndArray().EndObject();
  writer.EndArray().Key("done").Number(-3).Key("total").Number(2147483647).EndObject();

  using ordered = nlohmann::ordered_json;
  ordered doc = {{"entries",
                  {{{"old", odd}, {"new", "n"}, {"ok", nullptr}},
                   {{"old", ""}, {"new", odd}, {"ok", true}},
                   {{"fields", ordered::array()}}}},
                 {"done", -3},
                 {"total", 2147483647}};
  EXPECT_EQ(writer.Text(), doc.dump());
  EXPECT_EQ(TJsonWriter().BeginArray().EndArray().Text(), "[]");
}

TEST(JsonWriter, KeepsTheExactBytesOfNamesThatAreNotUtf8) {
  const std::string name = "/m/lib\xFF/caf\xE9 \xC3(.mp3";
  TJsonWriter writer;
  writer.BeginArray().String(name).EndArray();
  EXPECT_EQ(writer.Text(), "[\"/m/lib\\udcff/caf\\udce9 \\udcc3(.mp3\"]");
  std::string_view text = std::string_view(writer.Text()).substr(1);
  EXPECT_EQ(JsonUnquote(text), name);
}

}  // namespace
}  // namespace dov::cli
