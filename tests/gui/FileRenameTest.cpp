// The main window driven as a user would: typing, clicking, and one whole job.
#include "app/RenameFiles.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "common/Version.h"
#include "tests/TestSupport.h"
#include "tests/gui/GuiTestSupport.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::Control;

class FileRename : public ::testing::Test {
 protected:
  test::FakeFolderPicker picker;
  TFileRename window{picker};

  QPushButton* Button(const char* name) { return Control<QPushButton>(window, name); }
  QCheckBox* Box(const char* name) { return Control<QCheckBox>(window, name); }
  QLineEdit* Edit(const char* name) { return Control<QLineEdit>(window, name); }
  QLineEdit* Source() { return Edit("SourceFolder"); }
  QLineEdit* Dest() { return Edit("DestFolder"); }
  bool StartEnabled() { return Button("btStart")->isEnabled(); }
  QString Status() { return Control<QStatusBar>(window, "StatusBar")->currentMessage(); }
  void Type(QLineEdit* edit, const QString& text) { QTest::keyClicks(edit, text); }
  void Clear(QLineEdit* edit) {
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
  }
};

TEST_F(FileRename, StartsWithItsTextsAndInitialState) {
  EXPECT_EQ(window.objectName(), "FileRename");
  EXPECT_EQ(window.windowTitle(),
            QString("Rename/Move Audio Files based on file tags (v%1)").arg(kVersion));
  EXPECT_EQ(Button("btBrowse")->text(), "Source Folder");
  EXPECT_EQ(Button("btDestFolder")->text(), "Destination Folder");
  EXPECT_EQ(Button("btStart")->text(), "Start");
  EXPECT_EQ(Button("btClose")->text(), "Close");
  EXPECT_EQ(Box("cbSubfolders")->text(), "Include subfolders");
  EXPECT_EQ(Box("cbRename")->text(), "Rename files to \"Artist - Title\" format");
  EXPECT_EQ(Box("cbMove")->text(), "Move to subfolders based on genre");
  EXPECT_EQ(Box("cbCopy")->text(), "Copy to subfolders based on genre");
  EXPECT_EQ(Control<QLabel>(window, "Label1")->text(), "Replace Invalid chars with");
  // The label shows single ampersands.
  EXPECT_EQ(Control<QLabel>(window, "Label2")->text(),
            "Supports WAV (LIST & Cart Chunk), MP3/MP2 (ID3 v1 & v2.3+), MP4/M4A, WMA, OGG, "
            "FLAC, APEv2");
  EXPECT_FALSE(Status().isEmpty());

  for (const char* box : {"cbSubfolders", "cbRename", "cbMove", "cbCopy"})
    EXPECT_FALSE(Box(box)->isChecked()) << box;
  EXPECT_TRUE(Source()->text().isEmpty());
  EXPECT_TRUE(Dest()->text().isEmpty());
  EXPECT_FALSE(Dest()->isEnabled());
  EXPECT_FALSE(Button("btDestFolder")->isEnabled());
  EXPECT_FALSE(StartEnabled());
  EXPECT_TRUE(Button("btClose")->isEnabled());
  EXPECT_EQ(Control<QProgressBar>(window, "ProgressBar")->value(), 0);

  QLineEdit* replace = Edit("ReplaceChar");
  EXPECT_EQ(replace->text(), " ");
  EXPECT_EQ(replace->maxLength(), 1);
  EXPECT_EQ(replace->placeholderText(), "_");

  // Not resizable.
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
}

TEST_F(FileRename, TabOrderFollowsTheForm) {
  const char* const order[] = {"btBrowse",     "SourceFolder", "cbSubfolders", "cbMove",
                               "btDestFolder", "DestFolder",   "btStart",      "btClose",
                               "cbRename",     "cbCopy",       "ReplaceChar",  "btBrowse"};
  QWidget* widget = Button("btBrowse");
  for (size_t i = 1; i < std::size(order); ++i) {
    do widget = widget->nextInFocusChain();
    while (widget->focusPolicy() == Qt::NoFocus || widget == &window);
    EXPECT_EQ(widget->objectName(), order[i]) << "after " << order[i - 1];
  }
}

TEST_F(FileRename, TypingASourceFillsTheDestinationAndEnablesStartOnceAnActionIsChecked) {
  Type(Source(), "/tmp/Music");
  EXPECT_EQ(Dest()->text(), "/tmp/Music");
  EXPECT_FALSE(StartEnabled());  // no action yet
  Box("cbRename")->click();
  // Rename alone: the destination stays disabled, its text is the source's.
  EXPECT_TRUE(StartEnabled());
  EXPECT_FALSE(Dest()->isEnabled());
  EXPECT_EQ(window.Options().DestFolder, u"/tmp/Music");
  Box("cbRename")->click();
  EXPECT_FALSE(StartEnabled());
}

TEST_F(FileRename, AChosenDestinationIsNotReplacedByLaterSourceChanges) {
  Type(Source(), "/a");
  Box("cbMove")->click();
  Clear(Dest());
  Type(Dest(), "/sorted");
  Type(Source(), "/b");
  EXPECT_EQ(Source()->text(), "/a/b");
  EXPECT_EQ(Dest()->text(), "/sorted");
}

TEST_F(FileRename, APickedDestinationStaysEvenWhenItIsTheSource) {
  Type(Source(), "/a");
  Box("cbMove")->click();
  picker.Replies = {"/a"};
  Button("btDestFolder")->click();
  Type(Source(), "/b");
  EXPECT_EQ(Dest()->text(), "/a");
}

TEST_F(FileRename, StartNeedsADestination) {
  Type(Source(), "/music");
  Box("cbRename")->click();
  Box("cbMove")->click();
  EXPECT_TRUE(StartEnabled());
  Clear(Dest());
  EXPECT_FALSE(StartEnabled());
  // Unchecking move hides the empty destination but Start stays disabled.
  Box("cbMove")->click();
  EXPECT_FALSE(Dest()->isEnabled());
  EXPECT_FALSE(StartEnabled());
  // A change of the source refills the empty destination.
  Type(Source(), "/pop");
  EXPECT_EQ(Dest()->text(), "/music/pop");
  EXPECT_TRUE(StartEnabled());
}

TEST_F(FileRename, StartNeedsASource) {
  Box("cbCopy")->click();
  Dest()->setText("/dest");
  EXPECT_FALSE(StartEnabled());
  Type(Source(), "/s");
  EXPECT_TRUE(StartEnabled());
  EXPECT_EQ(Dest()->text(), "/dest");
}

TEST_F(FileRename, MoveAndCopyExcludeEachOther) {
  QCheckBox* move = Box("cbMove");
  QCheckBox* copy = Box("cbCopy");
  move->click();
  EXPECT_TRUE(Dest()->isEnabled());
  EXPECT_TRUE(Button("btDestFolder")->isEnabled());
  copy->click();
  EXPECT_TRUE(copy->isChecked());
  EXPECT_FALSE(move->isChecked());
  EXPECT_TRUE(Dest()->isEnabled());
  move->click();
  EXPECT_TRUE(move->isChecked());
  EXPECT_FALSE(copy->isChecked());
  EXPECT_TRUE(Button("btDestFolder")->isEnabled());
  // Both may be off: the destination is disabled again and keeps its text.
  Type(Source(), "/m");
  move->click();
  EXPECT_FALSE(move->isChecked());
  EXPECT_FALSE(copy->isChecked());
  EXPECT_FALSE(Dest()->isEnabled());
  EXPECT_FALSE(Button("btDestFolder")->isEnabled());
  EXPECT_EQ(Dest()->text(), "/m");
  // The keyboard reaches the same rule.
  move->setFocus();
  QTest::keyClick(move, Qt::Key_Space);
  copy->setFocus();
  QTest::keyClick(copy, Qt::Key_Space);
  EXPECT_FALSE(move->isChecked());
  EXPECT_TRUE(copy->isChecked());
}

TEST_F(FileRename, DestinationPickerStartsInTheSourcesFolder) {
  Source()->setText("/home/user/Music");
  Box("cbMove")->click();
  Clear(Dest());
  Button("btDestFolder")->click();
  ASSERT_EQ(picker.Calls.size(), 1u);
  EXPECT_EQ(picker.Calls[0].StartFolder, "/home/user/");
  EXPECT_EQ(picker.Calls[0].Title, "Select a destination folder");
  EXPECT_EQ(picker.Calls[0].Owner, Dest());

  Source()->setText("/Music");
  Clear(Dest());
  Button("btDestFolder")->click();
  EXPECT_EQ(picker.Calls[1].StartFolder, "/");

  // A source without a folder part gives no start folder.
  Source()->setText("Music");
  Clear(Dest());
  Button("btDestFolder")->click();
  EXPECT_EQ(picker.Calls[2].StartFolder, "");

  // A destination with text starts there.
  Dest()->setText("/sorted");
  Button("btDestFolder")->click();
  EXPECT_EQ(picker.Calls[3].StartFolder, "/sorted");
}

TEST_F(FileRename, ACancelledPickerLeavesTheEditUnchanged) {
  Source()->setText("/music");
  Box("cbCopy")->click();
  Dest()->setText("/sorted");
  Button("btBrowse")->click();
  Button("btDestFolder")->click();
  EXPECT_EQ(Source()->text(), "/music");
  EXPECT_EQ(Dest()->text(), "/sorted");
  ASSERT_EQ(picker.Calls.size(), 2u);
  EXPECT_EQ(picker.Calls[0].Title, "Select a source folder");
  EXPECT_EQ(picker.Calls[0].StartFolder, "/music");
  EXPECT_EQ(picker.Calls[0].Owner, Source());
}

TEST_F(FileRename, AConfirmedSourceActsLikeTypedText) {
  picker.Replies = {"/home/user/Music"};
  Button("btBrowse")->click();
  EXPECT_EQ(Source()->text(), "/home/user/Music");
  EXPECT_EQ(Dest()->text(), "/home/user/Music");
  // The picker was shown the (empty) source and left the focus on it.
  EXPECT_EQ(picker.Calls[0].StartFolder, "");
  EXPECT_EQ(window.focusWidget(), Source());
}

TEST_F(FileRename, ReplacementCharacterIsTypedOverAndNeverASlash) {
  QLineEdit* replace = Edit("ReplaceChar");
  EXPECT_EQ(window.Options().ReplaceChar, u' ');
  replace->setFocus();
  replace->setCursorPosition(1);
  QTest::keyClicks(replace, "_");
  EXPECT_EQ(replace->text(), "_");
  EXPECT_EQ(window.Options().ReplaceChar, u'_');
  QTest::keyClicks(replace, "/");
  EXPECT_EQ(replace->text(), "_");
  QTest::keyClicks(replace, "~");
  EXPECT_EQ(replace->text(), "~");
  // Empty means a space.
  QTest::keyClick(replace, Qt::Key_Backspace);
  EXPECT_EQ(replace->text(), "");
  EXPECT_EQ(window.Options().ReplaceChar, u' ');
}

TEST_F(FileRename, CloseEndsTheWindow) {
  window.show();
  ASSERT_TRUE(window.isVisible());
  Button("btClose")->click();
  EXPECT_FALSE(window.isVisible());
}

class FileRenameJob : public FileRename {
 protected:
  test::TempDir dir;
  std::string source = dir / "in";
  std::string dest = dir / "out";

  void SetUp() override {
    fs::create_directories(source);
    fs::create_directories(dest);
  }
  void AddFile(const std::string& name,
               const std::vector<std::pair<std::string, std::string>>& tags) {
    test::WriteFile(source + "/" + name, test::Filler(600, 'x') + test::ApeTag(tags));
  }
};

TEST_F(FileRenameJob, StartRunsTheWholeJobAndShowsTheSummary) {
  AddFile("one.MP3", {{"Artist", "A"}, {"Title", "B/C"}, {"Genre", "Rock"}});
  AddFile("two.mp3", {{"Artist", "X"}, {"Title", "Y"}, {"Genre", "Pop"}});
  AddFile("three.mp3", {{"Artist", "X"}, {"Title", "Y"}, {"Genre", "Pop"}});  // same target
  AddFile("untagged.mp3", {});
  test::WriteFile(source + "/notes.txt", "not audio");

  window.show();
  Type(Source(), QString::fromStdString(source));
  Box("cbRename")->click();
  Box("cbMove")->click();
  Clear(Dest());
  Type(Dest(), QString::fromStdString(dest));
  Edit("ReplaceChar")->setText("_");
  ASSERT_TRUE(StartEnabled());
  QTest::mouseClick(Button("btStart"), Qt::LeftButton);

  EXPECT_EQ(Status(), "2 files moved and/or renamed, and 1 unchanged.");
  auto* progress = Control<QProgressBar>(window, "ProgressBar");
  EXPECT_EQ(progress->maximum(), 3);
  EXPECT_EQ(progress->value(), 3);
  EXPECT_TRUE(fs::exists(dest + "/Rock/A - B_C.mp3"));
  EXPECT_TRUE(fs::exists(dest + "/Pop/X - Y.mp3"));
  EXPECT_EQ(fs::exists(source + "/two.mp3") + fs::exists(source + "/three.mp3"), 1);
  EXPECT_TRUE(fs::exists(source + "/untagged.mp3"));
  EXPECT_TRUE(fs::exists(source + "/notes.txt"));
  EXPECT_EQ(window.RenameList().size(), 3u);
}

TEST_F(FileRenameJob, ACloseDuringTheJobWaitsForItsEnd) {
  AddFile("a.mp3", {{"Artist", "A"}, {"Title", "T"}});
  window.show();
  Type(Source(), QString::fromStdString(source));
  Box("cbRename")->click();
  // The close arrives during the job's first repaint, as the window manager's
  // close button would.
  QTimer::singleShot(0, &window, [this] { window.close(); });
  bool visibleAtSummary = false;
  QObject::connect(Control<QStatusBar>(window, "StatusBar"), &QStatusBar::messageChanged,
                   [&](const QString& text) {
                     if (text.startsWith("1 files")) visibleAtSummary = window.isVisible();
                   });
  Button("btStart")->click();
  EXPECT_TRUE(visibleAtSummary);
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(fs::exists(source + "/A - T.mp3"));
}

TEST_F(FileRenameJob, AJobWithoutFilesShowsZeroAndAnEmptyBar) {
  Type(Source(), QString::fromStdString(source));
  Box("cbRename")->click();
  Button("btStart")->click();
  EXPECT_EQ(Status(), "0 files moved and/or renamed");
  auto* progress = Control<QProgressBar>(window, "ProgressBar");
  EXPECT_EQ(progress->value(), 0);
  EXPECT_LT(progress->minimum(), progress->maximum());  // not a busy indicator
}

TEST_F(FileRenameJob, TheDisabledDestinationStillStopsTheWalk) {
  // Copy into genre folders under the source itself, with subfolders: the walk
  // skips the destination when it is a subfolder of the source.
  fs::create_directories(source + "/sub");
  AddFile("sub/a.mp3", {{"Artist", "A"}, {"Title", "T"}, {"Genre", "Jazz"}});
  Type(Source(), QString::fromStdString(source));
  Box("cbSubfolders")->click();
  Box("cbCopy")->click();
  Clear(Dest());
  Type(Dest(), QString::fromStdString(source + "/sub"));
  Box("cbCopy")->click();  // off again: destination disabled, text kept
  Box("cbRename")->click();
  Button("btStart")->click();
  // Only the walk's exclusion keeps sub/a.mp3 unrenamed.
  EXPECT_EQ(Status(), "0 files moved and/or renamed");
  EXPECT_TRUE(fs::exists(source + "/sub/a.mp3"));
}

}  // namespace
}  // namespace dov
