#include "common/DOVTnt.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>
#include <string>

#include "common/CodePage.h"

namespace dov {
namespace {

class MarkedText : public ::testing::Test {
 protected:
  void SetUp() override { SetSystemCodePage(1252); }
  void TearDown() override { SetSystemCodePage(1252); }
};

TEST_F(MarkedText, AsciiTravelsUnmarked) {
  EXPECT_EQ(WideToMarked(u"Artist - Title.mp3"), "Artist - Title.mp3");
  EXPECT_EQ(MarkedToWide("Artist - Title.mp3"), u"Artist - Title.mp3");
  EXPECT_EQ(MarkUTF8("plain"), "plain");
  EXPECT_FALSE(HasHighBytes(""));
}

TEST_F(MarkedText, TextOutsideTheCodePageIsMarkedAndSurvives) {
  const std::u16string cyrillic = u"Кино - Группа крови";
  std::string marked = WideToMarked(cyrillic);
  ASSERT_TRUE(IsUTF8Marked(marked));
  EXPECT_EQ(marked.substr(1), "Кино - Группа крови");
  EXPECT_EQ(MarkedToWide(marked), cyrillic);
  // The code page alone would have lost it.
  EXPECT_EQ(WideToAnsi(cyrillic), "???? - ?????? ?????");
}

TEST_F(MarkedText, CodePageCharactersAreMarkedToo) {
  // "é" exists in 1252, yet the marked form carries UTF-8 so any reader agrees.
  EXPECT_EQ(WideToMarked(u"Café"),
            "\x7F"
            "Caf\xC3\xA9");
  EXPECT_EQ(MarkedToWide("Caf\xE9"), u"Café");
}

TEST_F(MarkedText, InvalidUtf8AfterTheMarkerReadsAsCodePageText) {
  EXPECT_EQ(MarkedToWide("\x7F"
                         "Caf\xE9"),
            u"Café");
  EXPECT_EQ(MarkedToWide("\x7F"), u"");
  EXPECT_EQ(UTF8OrAnsiToWide("\xC3\xA9t\xC3\xA9"), u"été");
  EXPECT_EQ(UTF8OrAnsiToWide("\xE9t\xE9"), u"été");
}

TEST_F(MarkedText, LeadingDeleteCharacterSurvivesTheWayBack) {
  std::string marked = WideToMarked(
      u"\x7F"
      "abc");
  EXPECT_EQ(marked,
            "\x7F\x7F"
            "abc");
  EXPECT_EQ(MarkedToWide(marked),
            u"\x7F"
            "abc");
  EXPECT_EQ(MarkedToNative(marked),
            "\x7F"
            "abc");
  // Two paths that differ only by a leading U+007F stay two paths.
  EXPECT_NE(MarkedToNative(WideToMarked(u"\x7Fm/a.mp3")), MarkedToNative(WideToMarked(u"m/a.mp3")));
}

TEST_F(MarkedText, Windows1252HasItsOwnUpperHalf) {
  EXPECT_EQ(AnsiToWide("\x80\x99\x9F"), u"\u20AC\u2122\u0178");
  // The five bytes Windows leaves unassigned map to the C1 controls and back.
  EXPECT_EQ(AnsiToWide("\x81\x8D\x8F\x90\x9D"), u"\u0081\u008D\u008F\u0090\u009D");
  EXPECT_EQ(WideToAnsi(u"\u0081\u008D\u008F\u0090\u009D"), "\x81\x8D\x8F\x90\x9D");
  EXPECT_EQ(WideToAnsi(u"\u20AC"), "\x80");
  // A character outside the BMP is one "?", not two.
  EXPECT_EQ(WideToAnsi(u"a\U0001F3B5b"), "a?b");
}

TEST_F(MarkedText, Windows1251) {
  ASSERT_EQ(SetSystemCodePage(1251), 1251);
  EXPECT_EQ(AnsiToWide("\xCA\xE8\xED\xEE"), u"Кино");
  EXPECT_EQ(WideToAnsi(u"Кино"), "\xCA\xE8\xED\xEE");
  EXPECT_EQ(WideToAnsi(u"Café"), "Caf?");
  // Cyrillic is within this code page, yet still marked as UTF-8.
  EXPECT_EQ(WideToMarked(u"Кино"),
            "\x7F"
            "Кино");
  EXPECT_EQ(MarkedToWide("\xCA\xE8\xED\xEE"), u"Кино");
}

TEST_F(MarkedText, MultiByteCodePageReplacesInvalidSequences) {
  ASSERT_EQ(SetSystemCodePage(932), 932);
  EXPECT_EQ(AnsiToWide("\x93\xfa\x96\x7b"), u"日本");
  EXPECT_EQ(WideToAnsi(u"日本"), "\x93\xfa\x96\x7b");
  EXPECT_EQ(WideToAnsi(u"Кx"),
            "\x84\x4b"
            "x");  // 932 has Cyrillic
  EXPECT_EQ(WideToAnsi(u"\u0100x"), "?x");
  EXPECT_EQ(AnsiToWide("a\x81"), u"a\uFFFD");
}

TEST_F(MarkedText, UnknownCodePageFallsBackTo1252) {
  EXPECT_EQ(SetSystemCodePage(12345), 1252);
}

// Converts a whole buffer with iconv, final flush included; nullopt when
// iconv refuses it.
std::optional<std::string> IconvWhole(const char* to, const char* from, std::string in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 4 + 16, '\0');
  char* inPtr = in.data();
  char* outPtr = out.data();
  size_t inLeft = in.size();
  size_t outLeft = out.size();
  bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(static_cast<size_t>(outPtr - out.data()));
  return out;
}

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string result;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    result.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return result;
}

std::string ToUtf16Le(std::u16string_view wide) {
  std::string result;
  for (char16_t c : wide) {
    result.push_back(static_cast<char>(c & 0xFF));
    result.push_back(static_cast<char>(c >> 8));
  }
  return result;
}

// Every byte of every single-byte page a locale can pick decodes to what the
// page defines, and encodes back to the same byte. Bytes the page leaves
// unassigned keep their C1/Latin-1 value.
TEST_F(MarkedText, EverySingleBytePageMatchesAWholeBufferConversion) {
  for (int page : {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258}) {
    ASSERT_EQ(SetSystemCodePage(page), page);
    std::string name = "CP" + std::to_string(page);
    for (int b = 0; b < 256; ++b) {
      SCOPED_TRACE(name + " byte " + std::to_string(b));
      std::string byte(1, static_cast<char>(b));
      std::u16string decoded = AnsiToWide(byte);
      std::optional<std::string> expected = IconvWhole("UTF-16LE", name.c_str(), byte);
      std::u16string want = expected && expected->size() == 2 ? FromUtf16Le(*expected)
                                                              : std::u16string(1, char16_t(b));
      EXPECT_EQ(decoded, want);
      EXPECT_EQ(WideToAnsi(decoded), byte);
      if (expected && expected->size() == 2) {
        EXPECT_EQ(IconvWhole(name.c_str(), "UTF-16LE", ToUtf16Le(decoded)), byte);
      }
    }
  }
}

TEST_F(MarkedText, HebrewLettersDecodeUnderWindows1255) {
  ASSERT_EQ(SetSystemCodePage(1255), 1255);
  EXPECT_EQ(AnsiToWide("\xE0\xE1\xE2"), u"\u05D0\u05D1\u05D2");
  EXPECT_EQ(WideToAnsi(u"\u05D0\u05D1\u05D2"), "\xE0\xE1\xE2");
}

TEST(CodePageForLocale, FollowsTheLanguage) {
  EXPECT_EQ(CodePageForLocale("ru_RU.UTF-8"), 1251);
  EXPECT_EQ(CodePageForLocale("pl_PL"), 1250);
  EXPECT_EQ(CodePageForLocale("zh_CN.UTF-8"), 936);
  EXPECT_EQ(CodePageForLocale("zh_TW.UTF-8"), 950);
  EXPECT_EQ(CodePageForLocale("ja_JP.UTF-8"), 932);
  EXPECT_EQ(CodePageForLocale("de_DE.UTF-8@euro"), 1252);
  EXPECT_EQ(CodePageForLocale("C.UTF-8"), 1252);
}

TEST(Utf8, StrictDecoding) {
  std::u16string out;
  EXPECT_TRUE(DecodeUTF8("\xF0\x9F\x8E\xB5", out));
  EXPECT_EQ(out, u"\U0001F3B5");
  EXPECT_FALSE(DecodeUTF8("\xC0\xAF", out));          // overlong "/"
  EXPECT_FALSE(DecodeUTF8("\xED\xA0\x80", out));      // an encoded surrogate
  EXPECT_FALSE(DecodeUTF8("\xE2\x82", out));          // cut short
  EXPECT_FALSE(DecodeUTF8("\xF4\x90\x80\x80", out));  // above U+10FFFF
  EXPECT_TRUE(out.empty());
}

TEST(NativeNames, BytesThatAreNotUtf8SurviveTheRoundTrip) {
  const std::string native = "\xE9t\xE9 - caf\xC3\xA9\xFF.mp3";
  std::u16string wide = NativeToWide(native);
  EXPECT_EQ(wide, u"\xDCE9t\xDCE9 - café\xDCFF.mp3");
  EXPECT_EQ(WideToNative(wide), native);
  // The marked form carries exactly the native bytes behind the marker.
  std::string marked = WideToMarked(wide);
  ASSERT_TRUE(IsUTF8Marked(marked));
  EXPECT_EQ(MarkedToNative(marked), native);
  EXPECT_EQ(MarkedToNative("Caf\xE9.mp3"), "Café.mp3");
}

// An ASCII run is copied whole: text after a run of any length converts as
// it does on its own, and the way back gives the bytes again.
TEST(NativeNames, AnAsciiRunOfAnyLengthConvertsAsTheRestDoesAlone) {
  for (const std::string tail :
       {"", "\xC3\xA9", "\xFF", "\xF0\x9F\x8E\xB5x", "\xC0\xAF", "\x7F\xC3\xA9"}) {
    for (size_t run = 0; run <= 40; ++run) {
      const std::string ascii(run, 'a');
      const std::u16string wideAscii(run, u'a');
      const std::string native = ascii + tail;
      const std::u16string wide = NativeToWide(native);
      EXPECT_EQ(wide, wideAscii + NativeToWide(tail)) << run;
      EXPECT_EQ(WideToNative(wide), native) << run;
      EXPECT_EQ(WideToAnsi(wide), ascii + WideToAnsi(NativeToWide(tail))) << run;
      std::u16string decoded, decodedTail;
      EXPECT_EQ(DecodeUTF8(native, decoded), DecodeUTF8(tail, decodedTail)) << run;
      if (!decodedTail.empty()) {
        EXPECT_EQ(decoded, wideAscii + decodedTail) << run;
      }
    }
  }
}

TEST(TrimBytes, RemovesControlsAndBlanksAtBothEnds) {
  EXPECT_EQ(TrimBytes(std::string_view("\0 \t x y \r\n", 10)), "x y");
  EXPECT_EQ(TrimBytes("   "), "");
  EXPECT_EQ(TrimBytes("\x7F"
                      " a "),
            "\x7F"
            " a");
}

}  // namespace
}  // namespace dov
