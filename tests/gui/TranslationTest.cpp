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
#include "common/Version.h"
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

// The status bar's text for each kind of step, in English and in German.
struct TStatusCase {
  TJobStatus Status;
  const char* English;
  const char* German;
};
const TStatusCase kStatusCases[] = {
    {{EJobStep::Listing, 0}, "Loading files... 0", "Dateien werden geladen... 0"},
    {{EJobStep::Listing, 100}, "Loading files... 100", "Dateien werden geladen... 100"},
    {{EJobStep::Operating, 26},
     "26 files moved and/or renamed",
     "26 Dateien verschoben und/oder umbenannt"},
    {{EJobStep::Finished, 0, 0},
     "0 files moved and/or renamed",
     "0 Dateien verschoben und/oder umbenannt"},
    {{EJobStep::Finished, 7, 7},
     "7 files moved and/or renamed",
     "7 Dateien verschoben und/oder umbenannt"},
    {{EJobStep::Finished, 12, 15},
     "12 files moved and/or renamed, and 3 unchanged.",
     "12 Dateien verschoben und/oder umbenannt, 3 unverändert."},
    {{EJobStep::Finished, 0, 1},
     "0 files moved and/or renamed, and 1 unchanged.",
     "0 Dateien verschoben und/oder umbenannt, 1 unverändert."},
    {{EJobStep::Finished, 12345, 12345},
     "12345 files moved and/or renamed",
     "12345 Dateien verschoben und/oder umbenannt"},
};

void ExpectStatusTexts(bool german) {
  for (const TStatusCase& c : kStatusCases)
    EXPECT_EQ(StatusText(c.Status), QString::fromUtf8(german ? c.German : c.English))
        << test::Describe(c.Status);
}

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
  EXPECT_EQ(window.windowTitle(),
            QString("Audiodateien anhand ihrer Tags umbenennen/verschieben (v%1)").arg(kVersion));
  EXPECT_EQ(Control<QPushButton>(window, "btBrowse")->text(), "Quellordner");
  EXPECT_EQ(Control<QPushButton>(window, "btClose")->text(), "Schließen");
  EXPECT_EQ(Control<QLabel>(window, "Label1")->text(), "Ungültige Zeichen ersetzen durch");

  // The picker titles.
  window.findChild<QPushButton*>("btBrowse")->click();
  ASSERT_EQ(picker.Calls.size(), 1u);
  EXPECT_EQ(picker.Calls[0].Title, "Quellordner auswählen");

  ExpectStatusTexts(true);
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
  EXPECT_EQ(window.windowTitle(),
            QString("Rename/Move Audio Files based on file tags (v%1)").arg(kVersion));
  EXPECT_EQ(Control<QPushButton>(window, "btClose")->text(), "Close");
  ExpectStatusTexts(false);
  EXPECT_EQ(JobStoppedText("std::bad_alloc"), "The job stopped: std::bad_alloc");
}

TEST_F(Translation, EnglishUsersSeeTheTextsAsWritten) {
  if (!HaveGerman()) GTEST_SKIP() << "the German catalogue was not built (no msgfmt)";
  InitTranslation(kLocaleDir);
  UseLanguage("en");
  EXPECT_EQ(Tr("Select a source folder"), "Select a source folder");
  ExpectStatusTexts(false);
}

}  // namespace
}  // namespace dov
