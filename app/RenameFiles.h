// The main window, form "FileRename": a source folder, the three actions, a
// destination and the replacement character. "Start" runs the rename job
// inside its click handler; the window shows the job's progress.
#pragma once

#include <QString>
#include <QWidget>
#include <string>

#include "engine/FileOps.h"
#include "engine/RenameEngine.h"

class QCheckBox;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace dov {

class IFolderPicker;

class TFileRename : public QWidget, private IRenameView {
 public:
  // The Browse buttons ask picker for their folders.
  explicit TFileRename(IFolderPicker& picker, QWidget* parent = nullptr);

  // The options of a job as the controls give them now.
  TRenameOptions Options() const;
  // The list of the last job.
  const TRenameList& RenameList() const { return engine_.RenameList(); }

 protected:
  // A close asked for while a job runs (the window manager's close button)
  // waits until the job ends, like every click and key.
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildLayout();
  void Connect();

  void btBrowseClick();
  void SourceFolderChange();
  void DestFolderChange();
  void OptionChange();
  void cbMoveClick();
  void cbCopyClick();
  void UpdateDestEnabled();
  void btDestFolderClick();
  void btStartClick();
  void btCloseClick();

  // What the job shows.
  void ShowStatus(const TJobStatus& status) override;
  void SetProgressMax(int max) override;
  void SetProgress(int position) override;
  void Repaint() override;

  IFolderPicker& picker_;
  TLinuxFileOps fileOps_;
  TRenameEngine engine_;
  // The destination holds the source's text, put there by SourceFolderChange
  // and not changed since; it follows later changes of the source.
  bool destFromSource_ = false;
  bool fillingDest_ = false;
  bool jobRunning_ = false;
  bool closeAfterJob_ = false;

  QPushButton* btBrowse_ = nullptr;
  QLineEdit* SourceFolder_ = nullptr;
  QLabel* Label2_ = nullptr;
  QCheckBox* cbSubfolders_ = nullptr;
  QCheckBox* cbRename_ = nullptr;
  QLabel* Label1_ = nullptr;
  QLineEdit* ReplaceChar_ = nullptr;
  QCheckBox* cbMove_ = nullptr;
  QCheckBox* cbCopy_ = nullptr;
  QPushButton* btDestFolder_ = nullptr;
  QLineEdit* DestFolder_ = nullptr;
  QPushButton* btStart_ = nullptr;
  QPushButton* btClose_ = nullptr;
  QProgressBar* ProgressBar_ = nullptr;
  QStatusBar* StatusBar_ = nullptr;
};

// The folder part of a path: everything up to and including its last "/";
// empty when it has none.
QString FolderPart(const QString& path);

// The status bar's text for where a job is, in the catalogue's language.
QString StatusText(const TJobStatus& status);

// The status text for a job that an error stopped, in the catalogue's
// language; what is the error's own message.
QString JobStoppedText(const char* what);

}  // namespace dov
