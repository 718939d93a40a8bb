// The window's texts pass through GNU gettext, text domain "dovrename". The
// catalogues live beside the program in locale/<language>/LC_MESSAGES; without
// one every text stays as written.
#pragma once

#include <QString>
#include <string>

#include "common/DOVCommon.h"  // kTextDomain

namespace dov {

// Binds the text domain to localeDir with UTF-8 output and makes it the
// program's default domain.
void InitTranslation(const std::string& localeDir);

// The catalogue's translation of msgid, or msgid itself.
QString Tr(const char* msgid);

}  // namespace dov
