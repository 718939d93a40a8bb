#include "app/SelectDirectory.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QWidget>

namespace dov {

void ConfigureClassicDialog(QFileDialog& dialog, const QString& caption, const QString& root,
                            const QString& directory) {
  dialog.setWindowTitle(caption);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (!directory.isEmpty() && QFileInfo(directory).isDir())
    dialog.setDirectory(directory);
  else if (!root.isEmpty() && QFileInfo(root).isDir())
    dialog.setDirectory(root);
}

bool SelectDirectory(const QString& caption, const QString& root, QString& directory,
                     QWidget* owner) {
  QFileDialog dialog(owner != nullptr ? owner->window() : nullptr);
  ConfigureClassicDialog(dialog, caption, root, directory);
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  directory = QDir::cleanPath(chosen.first());
  return true;
}

}  // namespace dov
