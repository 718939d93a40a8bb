// Choosing a folder for the two Browse buttons. The window asks an
// IFolderPicker, so that tests can answer without a modal dialog.
#pragma once

#include <QString>

class QWidget;

namespace dov {

class IFolderPicker {
 public:
  virtual ~IFolderPicker() = default;
  // Lets the user choose a folder, starting in folder (empty: the dialog's own
  // default place). True when the user confirmed; folder then holds the chosen
  // path, otherwise it is unchanged. The owner gets the input focus afterwards.
  // root limits nothing here; an empty folder starts in it when given.
  virtual bool PickFolder(const QString& title, const QString& root, QString& folder,
                          QWidget* owner) = 0;
};

// The two dialogs a picker can show.
class IFolderDialogs {
 public:
  virtual ~IFolderDialogs() = default;
  // The platform's folder dialog (TWin7FileDialog); may throw.
  virtual bool ItemDialog(const QString& title, QString& folder, QWidget* owner) = 0;
  // Qt's own widget-based folder dialog (SelectDirectory).
  virtual bool ClassicDialog(const QString& title, const QString& root, QString& folder,
                             QWidget* owner) = 0;
};

// Shows the platform's dialog until it fails once, and from then on, for the
// rest of the run, the classic dialog.
class TFolderPicker : public IFolderPicker {
 public:
  explicit TFolderPicker(IFolderDialogs& dialogs, bool useClassicPicker = false)
      : dialogs_(dialogs), useClassicPicker_(useClassicPicker) {}

  bool PickFolder(const QString& title, const QString& root, QString& folder,
                  QWidget* owner) override;
  bool UseClassicPicker() const { return useClassicPicker_; }

 private:
  IFolderDialogs& dialogs_;
  bool useClassicPicker_;
};

// The dialogs of this system: TWin7FileDialog and SelectDirectory.
IFolderDialogs& SystemFolderDialogs();
// The program's picker over the system dialogs, one for the whole run.
IFolderPicker& SystemFolderPicker();

}  // namespace dov
