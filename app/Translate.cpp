#include "app/Translate.h"

#include <libintl.h>

namespace dov {

void InitTranslation(const std::string& localeDir) {
  ::bindtextdomain(kTextDomain, localeDir.c_str());
  ::bind_textdomain_codeset(kTextDomain, "UTF-8");
  ::textdomain(kTextDomain);
}

QString Tr(const char* msgid) {
  return QString::fromUtf8(::dgettext(kTextDomain, msgid));
}

}  // namespace dov
