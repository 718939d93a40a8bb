#include "app/Win7FileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QWidget>

#include "app/Translate.h"

namespace dov {
namespace {

// A QFileDialog that asks its event sink before it closes with OK.
class TSinkedFileDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;
  TFileDialogEvent* Sink = nullptr;

 protected:
  void done(int result) override {
    if (result == QDialog::Accepted && Sink != nullptr && !Sink->FileOk()) return;
    QFileDialog::done(result);
  }
};

QString FirstSelected(const QFileDialog& dialog) {
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : QDir::cleanPath(files.first());
}

}  // namespace

TWin7FileDialog::TWin7FileDialog(QWidget* owner) : OKButtonLabel(Tr("Select")), owner_(owner) {}

QStringList TWin7FileDialog::NameFilters() const {
  std::vector<TFileTypeItem> types;
  if (Filter.isEmpty()) {
    types = FilterArray;
  } else {
    const QStringList parts = Filter.split(u'|');
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) types.push_back({parts[i], parts[i + 1]});
  }
  QStringList filters;
  for (const TFileTypeItem& type : types) {
    QString patterns = type.Spec;
    patterns.replace(u';', u' ');
    filters << type.Name + QStringLiteral(" (") + patterns.simplified() + u')';
  }
  return filters;
}

void TWin7FileDialog::Configure(QFileDialog& dialog) const {
  dialog.setWindowTitle(Title);
  const bool save = DialogType == TDialogType::dtSave;
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);

  QFileDialog::Options options;
  if (Options & fosPickFolders) {
    dialog.setFileMode(QFileDialog::Directory);
    options |= QFileDialog::ShowDirsOnly;
  } else if (save) {
    dialog.setFileMode(QFileDialog::AnyFile);
  } else if (Options & fosAllowMultiSelect) {
    dialog.setFileMode(QFileDialog::ExistingFiles);
  } else if (Options & fosFileMustExist) {
    dialog.setFileMode(QFileDialog::ExistingFile);
  } else {
    dialog.setFileMode(QFileDialog::AnyFile);
  }
  if (!(Options & fosOverwritePrompt)) options |= QFileDialog::DontConfirmOverwrite;
  if (Options & fosNoDereferenceLinks) options |= QFileDialog::DontResolveSymlinks;
  dialog.setOptions(options);  // the mapped bits replace every default
  if (Options & fosForceShowHidden) dialog.setFilter(dialog.filter() | QDir::Hidden);
  if (Options & fosHidePinnedPlaces) dialog.setSidebarUrls({});

  if (!OKButtonLabel.isEmpty()) dialog.setLabelText(QFileDialog::Accept, OKButtonLabel);
  QString suffix = DefaultExt;
  if (suffix.startsWith(u'.')) suffix.remove(0, 1);
  dialog.setDefaultSuffix(suffix);

  const QStringList filters = NameFilters();
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size())
      dialog.selectNameFilter(filters[FilterIndex - 1]);
  }
  // A start folder that does not exist leaves the dialog at its default place.
  if (!InitialDir.isEmpty() && QFileInfo(InitialDir).isDir()) dialog.setDirectory(InitialDir);
  if (!FileName.isEmpty() && !(Options & fosPickFolders)) dialog.selectFile(FileName);
}

bool TWin7FileDialog::Execute() {
  TSinkedFileDialog dialog(owner_ != nullptr ? owner_->window() : nullptr);
  Configure(dialog);
  bool accepted = false;
  {
    TFileDialogEvent sink(*this, dialog);
    dialog.Sink = &sink;
    if (OnShow) OnShow(*this);
    accepted = dialog.exec() == QDialog::Accepted;
    dialog.Sink = nullptr;
  }
  if (accepted) {
    FileName = FirstSelected(dialog);
    const int index = static_cast<int>(NameFilters().indexOf(dialog.selectedNameFilter()));
    if (index >= 0) FilterIndex = index + 1;
  }
  if (OnClose) OnClose(*this);
  return accepted;
}

TFileDialogEvent::TFileDialogEvent(TWin7FileDialog& owner, QFileDialog& dialog)
    : owner_(owner), dialog_(dialog) {
  connections_.push_back(QObject::connect(&dialog_, &QFileDialog::directoryEntered, [this] {
    if (owner_.OnFolderChange) owner_.OnFolderChange(owner_);
  }));
  connections_.push_back(QObject::connect(&dialog_, &QFileDialog::currentChanged, [this] {
    if (owner_.OnSelectionChange) owner_.OnSelectionChange(owner_);
  }));
  connections_.push_back(QObject::connect(&dialog_, &QFileDialog::filterSelected, [this] {
    if (owner_.OnTypeChange) owner_.OnTypeChange(owner_);
  }));
}

TFileDialogEvent::~TFileDialogEvent() {
  for (const QMetaObject::Connection& connection : connections_) QObject::disconnect(connection);
}

bool TFileDialogEvent::FileOk() {
  owner_.FileName = FirstSelected(dialog_);
  return !owner_.OnCanClose || owner_.OnCanClose(owner_);
}

}  // namespace dov
