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

TEST(BinarySummary, SizeAndTheKindTheMagicBytesName) {
  auto sized = [](std::string start, size_t size) {
    start.resize(size, '\x55');
    return start;
  };
  const std::pair<std::string, std::string> rows[] = {
      {sized("\xFF\xD8\xFF\xE0", 127162), "<binary, 127,162 bytes, JPEG image>"},
      {sized("\x89PNG\r\n\x1A\n", 1000), "<binary, 1,000 bytes, PNG image>"},
      {sized("GIF87a", 999), "<binary, 999 bytes, GIF image>"},
      {sized("GIF89a", 1234567), "<binary, 1,234,567 bytes, GIF image>"},
      {sized("BM", 65), "<binary, 65 bytes, BMP image>"},
      {sized(std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), 80), "<binary, 80 bytes, WebP image>"},
      {sized(std::string("RIFF\x10\0\0\0WAVEfmt ", 16), 80), "<binary, 80 bytes>"},
      {sized("\xFF\xD8", 80), "<binary, 80 bytes>"},
      // An APE cover item: its file name, a zero byte, the picture.
      {sized(std::string("cover.jpg\0\xFF\xD8\xFF", 13), 300), "<binary, 300 bytes, JPEG image>"},
      {sized(std::string("a\0b\0\xFF\xD8\xFF", 7), 300), "<binary, 300 bytes>"},
  };
  for (const auto& [bytes, text] : rows) EXPECT_EQ(BinarySummary(bytes), text);
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

TEST(StatusText, WordsEveryKindOfStepOfAJob) {
  const std::pair<TJobStatus, const char*> cases[] = {
      {{EJobStep::Listing, 0}, "Loading files... 0"},
      {{EJobStep::Listing, 100}, "Loading files... 100"},
      {{EJobStep::Operating, 1}, "1 files moved and/or renamed"},
      {{EJobStep::Operating, 26}, "26 files moved and/or renamed"},
      {{EJobStep::Finished, 0, 0}, "0 files moved and/or renamed"},
      {{EJobStep::Finished, 7, 7}, "7 files moved and/or renamed"},
      {{EJobStep::Finished, 12, 15}, "12 files moved and/or renamed, and 3 unchanged."},
      {{EJobStep::Finished, 0, 1}, "0 files moved and/or renamed, and 1 unchanged."},
      {{EJobStep::Finished, 12345, 12345}, "12345 files moved and/or renamed"},
  };
  for (const auto& [status, text] : cases)
    EXPECT_EQ(StatusText(status), text) << static_cast<int>(status.Step) << " " << status.Count;
}

}  // namespace
}  // namespace dov::cli
