// The folder pickers: the fallback to the classic dialog, the focus, and the
// dialogs' set-up. A few tests show a real (widget-based) dialog and close it
// from a timer.
#include "app/FolderPicker.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QVBoxLayout>
#include <filesystem>
#include <stdexcept>

#include "app/SelectDirectory.h"
#include "app/Win7FileDialog.h"
#include "tests/TestSupport.h"
#include "tests/gui/GuiTestSupport.h"

namespace dov {
namespace {

// Dialogs that answer from the test: the item dialog can be made to fail.
class FakeDialogs : public IFolderDialogs {
 public:
  bool ItemFails = false;
  QString Reply;  // empty: cancelled
  int ItemCalls = 0;
  int ClassicCalls = 0;

  bool ItemDialog(const QString&, QString& folder, QWidget*) override {
    ++ItemCalls;
    if (ItemFails) throw std::runtime_error("no dialog object");
    return Answer(folder);
  }
  bool ClassicDialog(const QString&, const QString&, QString& folder, QWidget*) override {
    ++ClassicCalls;
    return Answer(folder);
  }

 private:
  bool Answer(QString& folder) {
    if (Reply.isEmpty()) return false;
    folder = Reply;
    return true;
  }
};

// A window with two edits, the second of which owns the picker.
struct TwoEdits {
  QWidget window;
  QLineEdit* first = new QLineEdit;
  QLineEdit* owner = new QLineEdit;
  TwoEdits() {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(first);
    layout->addWidget(owner);
    first->setFocus();
  }
};

TEST(FolderPicker, ConfirmedFolderIsReturnedAndTheOwnerGetsTheFocus) {
  FakeDialogs dialogs;
  TFolderPicker picker(dialogs);
  TwoEdits edits;
  dialogs.Reply = "/chosen";
  QString folder = "/start";
  EXPECT_TRUE(picker.PickFolder("Title", "", folder, edits.owner));
  EXPECT_EQ(folder, "/chosen");
  EXPECT_EQ(edits.window.focusWidget(), edits.owner);
  EXPECT_EQ(dialogs.ItemCalls, 1);
  EXPECT_EQ(dialogs.ClassicCalls, 0);
}

TEST(FolderPicker, CancelLeavesTheFolderAndStillFocusesTheOwner) {
  FakeDialogs dialogs;
  TFolderPicker picker(dialogs);
  TwoEdits edits;
  QString folder = "/start";
  EXPECT_FALSE(picker.PickFolder("Title", "", folder, edits.owner));
  EXPECT_EQ(folder, "/start");
  EXPECT_EQ(edits.window.focusWidget(), edits.owner);
  EXPECT_EQ(dialogs.ClassicCalls, 0);  // a cancel is no failure
}

TEST(FolderPicker, AFailingItemDialogSwitchesToTheClassicOneForGood) {
  FakeDialogs dialogs;
  TFolderPicker picker(dialogs);
  dialogs.ItemFails = true;
  dialogs.Reply = "/classic";
  QString folder;
  EXPECT_TRUE(picker.PickFolder("Title", "", folder, nullptr));
  EXPECT_EQ(folder, "/classic");
  EXPECT_TRUE(picker.UseClassicPicker());
  dialogs.ItemFails = false;
  dialogs.Reply.clear();
  folder = "/kept";
  EXPECT_FALSE(picker.PickFolder("Title", "", folder, nullptr));
  EXPECT_EQ(folder, "/kept");
  EXPECT_EQ(dialogs.ItemCalls, 1);
  EXPECT_EQ(dialogs.ClassicCalls, 2);
}

TEST(Win7FileDialog, FolderPickingMapsToAPlatformDirectoryDialog) {
  test::TempDir dir;
  TWin7FileDialog picker(nullptr);
  picker.Title = "Select a source folder";
  picker.InitialDir = QString::fromStdString(dir.Path().string());
  picker.Options = fosPickFolders | fosForceShowHidden | fosNoDereferenceLinks;
  QFileDialog dialog;
  picker.Configure(dialog);
  EXPECT_EQ(dialog.windowTitle(), "Select a source folder");
  EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
  EXPECT_TRUE(dialog.testOption(QFileDialog::ShowDirsOnly));
  EXPECT_TRUE(dialog.testOption(QFileDialog::DontResolveSymlinks));
  EXPECT_FALSE(dialog.testOption(QFileDialog::DontUseNativeDialog));
  EXPECT_TRUE(dialog.filter() & QDir::Hidden);
  EXPECT_EQ(dialog.labelText(QFileDialog::Accept), "Select");
  EXPECT_EQ(dialog.directory().absolutePath(), picker.InitialDir);
}

TEST(Win7FileDialog, AMissingStartFolderLeavesTheDefaultPlace) {
  TWin7FileDialog picker(nullptr);
  picker.Options = fosPickFolders;
  QFileDialog untouched;
  const QString defaultPlace = untouched.directory().absolutePath();
  picker.InitialDir = "/no/such/folder/anywhere";
  QFileDialog dialog;
  picker.Configure(dialog);
  EXPECT_EQ(dialog.directory().absolutePath(), defaultPlace);
}

TEST(Win7FileDialog, FileTypesAndOptionsOfAFileDialog) {
  TWin7FileDialog picker(nullptr);
  picker.Filter = "Audio|*.mp3;*.wav|All files|*";
  picker.FilterIndex = 2;
  picker.DialogType = TDialogType::dtSave;
  picker.DefaultExt = ".mp3";
  QFileDialog dialog;
  picker.Configure(dialog);
  EXPECT_EQ(dialog.nameFilters(), QStringList({"Audio (*.mp3 *.wav)", "All files (*)"}));
  EXPECT_EQ(dialog.selectedNameFilter(), "All files (*)");
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(dialog.defaultSuffix(), "mp3");
  EXPECT_TRUE(dialog.testOption(QFileDialog::DontConfirmOverwrite));  // no fosOverwritePrompt

  picker.Filter.clear();
  picker.FilterArray = {{"Playlists", "*.m3u;*.pls"}};
  picker.FilterIndex = 1;
  picker.Options = fosOverwritePrompt;
  QFileDialog second;
  picker.Configure(second);
  EXPECT_EQ(second.nameFilters(), QStringList({"Playlists (*.m3u *.pls)"}));
  EXPECT_FALSE(second.testOption(QFileDialog::DontConfirmOverwrite));

  TWin7FileDialog open(nullptr);
  open.Options = fosAllowMultiSelect;
  QFileDialog third;
  open.Configure(third);
  EXPECT_EQ(third.fileMode(), QFileDialog::ExistingFiles);
}

TEST(Win7FileDialog, ExecuteReturnsTheFolderAndRunsItsEvents) {
  test::TempDir dir;
  const QString start = QString::fromStdString(dir.Path().string());
  QWidget owner;
  TWin7FileDialog picker(&owner);
  picker.InitialDir = start;
  picker.Options = fosPickFolders;
  int shown = 0, closed = 0, asked = 0;
  bool allowClose = false;
  picker.OnShow = [&](TWin7FileDialog&) { ++shown; };
  picker.OnClose = [&](TWin7FileDialog&) { ++closed; };
  picker.OnCanClose = [&](TWin7FileDialog& self) {
    ++asked;
    EXPECT_EQ(self.FileName, start);  // stored before the question
    return allowClose;
  };
  bool stillOpenAfterRefusal = false;
  test::WhenModalShows press([&](QWidget& modal) {
    auto& dialog = dynamic_cast<QDialog&>(modal);
    EXPECT_NE(qobject_cast<QFileDialog*>(&modal), nullptr);
    dialog.accept();
    stillOpenAfterRefusal = dialog.isVisible();
    allowClose = true;
    dialog.accept();
  });
  EXPECT_TRUE(picker.Execute());
  EXPECT_TRUE(press.Ran());
  EXPECT_TRUE(stillOpenAfterRefusal);
  EXPECT_EQ(picker.FileName, start);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(closed, 1);
}

TEST(Win7FileDialog, ExecuteCancelledKeepsTheFileName) {
  TWin7FileDialog picker(nullptr);
  picker.Options = fosPickFolders;
  picker.FileName = "/before";
  test::WhenModalShows cancel([](QWidget& modal) { dynamic_cast<QDialog&>(modal).reject(); });
  EXPECT_FALSE(picker.Execute());
  EXPECT_TRUE(cancel.Ran());
  EXPECT_EQ(picker.FileName, "/before");
}

TEST(SelectDirectory, IsQtsOwnFolderDialogStartingInTheFolder) {
  test::TempDir dir;
  const QString start = QString::fromStdString(dir.Path().string());
  QFileDialog dialog;
  ConfigureClassicDialog(dialog, "Select a destination folder", "", start);
  EXPECT_EQ(dialog.windowTitle(), "Select a destination folder");
  EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
  EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
  EXPECT_TRUE(dialog.testOption(QFileDialog::ShowDirsOnly));
  EXPECT_EQ(dialog.directory().absolutePath(), start);
}

TEST(SelectDirectory, ConfirmedAndCancelled) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.Path() / "inner");
  const QString inner = QString::fromStdString((dir.Path() / "inner").string());
  QString folder = inner;
  test::WhenModalShows confirm([](QWidget& modal) { dynamic_cast<QDialog&>(modal).accept(); });
  EXPECT_TRUE(SelectDirectory("Pick", "", folder, nullptr));
  EXPECT_EQ(folder, inner);

  test::WhenModalShows cancel([](QWidget& modal) { dynamic_cast<QDialog&>(modal).reject(); });
  folder = "/kept";
  EXPECT_FALSE(SelectDirectory("Pick", "", folder, nullptr));
  EXPECT_EQ(folder, "/kept");
}

}  // namespace
}  // namespace dov
