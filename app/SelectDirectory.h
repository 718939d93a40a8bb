// The classic folder chooser: Qt's own widget-based folder dialog, the same on
// every desktop. Used when the platform's dialog has failed.
#pragma once

#include <QString>

class QFileDialog;
class QWidget;

namespace dov {

// Shows the dialog modal to the owner's window with caption as its title. It
// starts in directory when that is an existing folder, else in root when
// given. True when the user confirmed; directory then holds the chosen folder,
// otherwise it is unchanged.
bool SelectDirectory(const QString& caption, const QString& root, QString& directory,
                     QWidget* owner);

// Sets the dialog up as SelectDirectory shows it.
void ConfigureClassicDialog(QFileDialog& dialog, const QString& caption, const QString& root,
                            const QString& directory);

}  // namespace dov
