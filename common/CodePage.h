// The system Ansi code page: a process-wide setting, Windows-1252 unless
// changed. Conversions never fail: a byte always maps to some character, and a
// character the code page lacks becomes "?".
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

namespace dov {

// Selects the code page (874, 1250..1258, 932, 936, 949, 950). An unknown
// number falls back to 1252. Returns the code page now in force.
int SetSystemCodePage(int codePage);
int SystemCodePage();

// The Ansi code page Windows would pick for a language such as "ru_RU.UTF-8"
// (taken from LC_ALL / LC_CTYPE / LANG when empty); 1252 for any other.
int CodePageForLocale(std::string_view locale);

std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);

// The length of the leading run of ASCII characters or bytes: names and
// tags are mostly ASCII, and the conversions copy such a run whole, not a
// character at a time.
template <class TChar>
size_t AsciiRun(std::basic_string_view<TChar> text) {
  size_t n = 0;
  while (n < text.size() && static_cast<std::make_unsigned_t<TChar>>(text[n]) < 0x80) ++n;
  return n;
}

// Appends an ASCII run as characters of the other width.
template <class TTo, class TFrom>
void AppendAscii(std::basic_string<TTo>& out, std::basic_string_view<TFrom> run) {
  const size_t at = out.size();
  out.resize(at + run.size());
  for (size_t k = 0; k < run.size(); ++k) out[at + k] = static_cast<TTo>(run[k]);
}

}  // namespace dov
