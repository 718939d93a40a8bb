#include "app/FolderPicker.h"

#include <QWidget>

#include "app/SelectDirectory.h"
#include "app/Win7FileDialog.h"

namespace dov {
namespace {

class TSystemFolderDialogs : public IFolderDialogs {
 public:
  bool ItemDialog(const QString& title, QString& folder, QWidget* owner) override {
    TWin7FileDialog dialog(owner);
    dialog.Title = title;
    dialog.InitialDir = folder;
    dialog.Options |= fosPickFolders;
    if (!dialog.Execute()) return false;
    folder = dialog.FileName;
    return true;
  }

  bool ClassicDialog(const QString& title, const QString& root, QString& folder,
                     QWidget* owner) override {
    return SelectDirectory(title, root, folder, owner);
  }
};

}  // namespace

bool TFolderPicker::PickFolder(const QString& title, const QString& root, QString& folder,
                               QWidget* owner) {
  bool confirmed = false;
  if (!useClassicPicker_) {
    try {
      QString chosen = folder;
      confirmed = dialogs_.ItemDialog(title, chosen, owner);
      if (confirmed) folder = chosen;
    } catch (...) {
      useClassicPicker_ = true;  // for the rest of the run
    }
  }
  if (useClassicPicker_) confirmed = dialogs_.ClassicDialog(title, root, folder, owner);
  if (owner != nullptr) owner->setFocus();
  return confirmed;
}

IFolderDialogs& SystemFolderDialogs() {
  static TSystemFolderDialogs dialogs;
  return dialogs;
}

IFolderPicker& SystemFolderPicker() {
  static TFolderPicker picker(SystemFolderDialogs());
  return picker;
}

}  // namespace dov
