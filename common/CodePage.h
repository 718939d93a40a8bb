// The system Ansi code page: a process-wide setting, Windows-1252 unless
// changed. Conversions never fail: a byte always maps to some character, and a
// character the code page lacks becomes "?".
#pragma once

#include <string>
#include <string_view>

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

}  // namespace dov
