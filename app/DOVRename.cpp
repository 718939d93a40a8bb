// DOVRename: renames, moves or copies audio files by their tags. One window;
// the program reads no command line and keeps no settings.
#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <clocale>
#include <filesystem>
#include <system_error>

#include "engine/FileOps.h"
#include "app/FolderPicker.h"
#include "app/RenameFiles.h"
#include "app/Translate.h"
#include "common/CodePage.h"
#include "common/DOVCommon.h"

namespace {

// The folder of the program file; the message catalogues live beside it.
std::filesystem::path ProgramFolder(const char* argv0) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = std::filesystem::absolute(argv0, error);
  return self.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  // The start-up work of the units: the user's locale and code page, the
  // message catalogues, the shared settings.
  std::setlocale(LC_ALL, "");
  dov::SetSystemCodePage(dov::CodePageForLocale(""));
  dov::InitTranslation((ProgramFolder(argv[0]) / "locale").string());
  dov::InitDOVCommon();
  dov::RemoveTemporaryFileOnInterrupt();

  QApplication app(argc, argv);
  // Qt takes the whole locale from the environment again; numbers written and
  // read by the C library stay locale-free.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("DOVRename"));
  // Qt's own texts (the buttons of the widget-based folder dialog).
  QTranslator qtTexts;
  if (qtTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTexts);

  dov::TFileRename window(dov::SystemFolderPicker());
  window.show();
  return QApplication::exec();
}
