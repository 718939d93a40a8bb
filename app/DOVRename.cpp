// DOVRename: renames, moves or copies audio files by their tags. One window;
// the program reads no command line but --version and keeps no settings.
#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <clocale>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>

#include "app/FolderPicker.h"
#include "app/RenameFiles.h"
#include "app/Translate.h"
#include "common/CodePage.h"
#include "common/DOVCommon.h"
#include "common/Version.h"
#include "engine/FileOps.h"

namespace {

// The folder of the program file.
std::filesystem::path ProgramFolder(const char* argv0) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = std::filesystem::absolute(argv0, error);
  return self.parent_path();
}

// The message catalogues are found from the program's own place, so that an
// installed tree works wherever it was put: share/locale of the install
// prefix (bin/../share/locale), or locale/ beside the program in the build
// folder.
std::filesystem::path LocaleFolder(const std::filesystem::path& programFolder) {
  const std::filesystem::path installed =
      (programFolder / DOV_LOCALE_FROM_BINDIR).lexically_normal();
  std::error_code error;
  if (std::filesystem::is_directory(installed, error)) return installed;
  return programFolder / "locale";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::cout << "dovrename " << dov::kVersion << std::endl;
    return 0;
  }
  // The start-up work of the units: the user's locale and code page, the
  // message catalogues, the shared settings.
  std::setlocale(LC_ALL, "");
  dov::SetSystemCodePage(dov::CodePageForLocale(""));
  dov::InitTranslation(LocaleFolder(ProgramFolder(argv[0])).string());
  dov::InitDOVCommon();
  dov::RemoveTemporaryFileOnInterrupt();

  QApplication app(argc, argv);
  // Qt takes the whole locale from the environment again; numbers written and
  // read by the C library stay locale-free.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("DOVRename"));
  // Ties the window to its desktop entry and icon (the Wayland app id).
  QApplication::setDesktopFileName(QStringLiteral(DOV_APP_ID));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(DOV_APP_ID)));
  // Qt's own texts (the buttons of the widget-based folder dialog).
  QTranslator qtTexts;
  if (qtTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTexts);

  dov::TFileRename window(dov::SystemFolderPicker());
  window.show();
  return QApplication::exec();
}
