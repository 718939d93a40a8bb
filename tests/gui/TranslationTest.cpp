// The window's texts come from the message catalogue in the user's language,
// and stay as written without one.
#include <gtest/gtest.h>
#include <libintl.h>

#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/RenameFiles.h"
#include "app/Translate.h"
#include "tests/TestSupport.h"
#include "tests/gui/GuiTestSupport.h"

namespace dov {
namespace {

using test::Control;

#ifdef DOV_LOCALE_DIR
constexpr const char* kLocaleDir = DOV_LOCALE_DIR;
#else
constexpr const char* kLocaleDir = "";
#endif

// Sets the language for one test and puts the English texts back afterwards.
class Translation : public ::testing::Test {
 protected:
  static bool HaveGerman() {
    return std::filesystem::exists(std::string(kLocaleDir) + "/de/LC_MESSAGES/dovrename.mo");
  }
  void TearDown() override {
    ::unsetenv("LANGUAGE");
    std::setlocale(LC_ALL, "C.UTF-8");  // also drops what gettext has cached
  }
  static void UseLanguage(const char* language, const char* locale = "C.UTF-8") {
    ::setenv("LANGUAGE", language, 1);
    std::setlocale(LC_ALL, locale);
  }
};

TEST_F(Translation, GermanCatalogueIsUsedWhenTheLanguageIsGerman) {
  if (!HaveGerman()) GTEST_SKIP() << "the German catalogue was not built (no msgfmt)";
  InitTranslation(kLocaleDir);
  UseLanguage("de");
  test::FakeFolderPicker picker;
  TFileRename window(picker);
  EXPECT_EQ(window.windowTitle(), "Audiodateien anhand ihrer Tags umbenennen/verschieben (v2.6)");
  EXPECT_EQ(Control<QPushButton>(window, "btBrowse")->text(), "Quellordner");
  EXPECT_EQ(Control<QPushButton>(window, "btClose")->text(), "Schließen");
  EXPECT_EQ(Control<QLabel>(window, "Label1")->text(), "Ungültige Zeichen ersetzen durch");

  // The picker titles.
  window.findChild<QPushButton*>("btBrowse")->click();
  ASSERT_EQ(picker.Calls.size(), 1u);
  EXPECT_EQ(picker.Calls[0].Title, "Quellordner auswählen");

  // The job's status texts; the engine itself keeps writing English.
  EXPECT_EQ(TranslateStatus("Loading files... 100"), "Dateien werden geladen... 100");
  EXPECT_EQ(TranslateStatus("12 files moved and/or renamed, and 3 unchanged."),
            "12 Dateien verschoben und/oder umbenannt, 3 unverändert.");
  EXPECT_EQ(TranslateStatus("7 files moved and/or renamed"),
            "7 Dateien verschoben und/oder umbenannt");
  EXPECT_EQ(TRenameEngine::SummaryText(7, 7), "7 files moved and/or renamed");
  EXPECT_EQ(TranslateStatus("Cannot open file"), "Cannot open file");
  EXPECT_EQ(JobStoppedText("std::bad_alloc"), "Der Auftrag wurde abgebrochen: std::bad_alloc");
}

TEST_F(Translation, AGermanLocaleChoosesTheGermanCatalogueToo) {
  if (!HaveGerman()) GTEST_SKIP() << "the German catalogue was not built (no msgfmt)";
  InitTranslation(kLocaleDir);
  ::unsetenv("LANGUAGE");
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
    GTEST_SKIP() << "the locale de_DE.UTF-8 is not installed";
  EXPECT_EQ(Tr("Select a destination folder"), "Zielordner auswählen");
}

TEST_F(Translation, WithoutACatalogueTheTextsStayAsWritten) {
  test::TempDir empty;
  InitTranslation(empty.Path().string());
  UseLanguage("de");
  test::FakeFolderPicker picker;
  TFileRename window(picker);
  EXPECT_EQ(window.windowTitle(), "Rename/Move Audio Files based on file tags (v2.6)");
  EXPECT_EQ(Control<QPushButton>(window, "btClose")->text(), "Close");
  EXPECT_EQ(TranslateStatus("2 files moved and/or renamed"), "2 files moved and/or renamed");
  EXPECT_EQ(JobStoppedText("std::bad_alloc"), "The job stopped: std::bad_alloc");
}

TEST_F(Translation, EnglishUsersSeeTheTextsAsWritten) {
  if (!HaveGerman()) GTEST_SKIP() << "the German catalogue was not built (no msgfmt)";
  InitTranslation(kLocaleDir);
  UseLanguage("en");
  EXPECT_EQ(Tr("Select a source folder"), "Select a source folder");
  EXPECT_EQ(TranslateStatus("Loading files... 0"), "Loading files... 0");
}

}  // namespace
}  // namespace dov
