// A file dialog with the platform's own look: Qt's QFileDialog, native where
// the platform offers one. With fosPickFolders it chooses a folder.
#pragma once

#include <QMetaObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QFileDialog;
class QWidget;

namespace dov {

// The dialog's option bits. Those with a Qt counterpart are mapped in
// TWin7FileDialog::Configure; the others are kept but have no effect.
enum TFileDialogOption : uint32_t {
  fosOverwritePrompt = 0x2,
  fosStrictFileTypes = 0x4,
  fosNoChangeDir = 0x8,
  fosPickFolders = 0x20,
  fosForceFileSystem = 0x40,
  fosAllNonStorageItems = 0x80,
  fosNoValidate = 0x100,
  fosAllowMultiSelect = 0x200,
  fosPathMustExist = 0x800,
  fosFileMustExist = 0x1000,
  fosCreatePrompt = 0x2000,
  fosShareAware = 0x4000,
  fosNoReadOnlyReturn = 0x8000,
  fosNoTestFileCreate = 0x10000,
  fosHideMRUPlaces = 0x20000,
  fosHidePinnedPlaces = 0x40000,
  fosNoDereferenceLinks = 0x100000,
  fosDontAddToRecent = 0x2000000,
  fosForceShowHidden = 0x10000000,
  fosDefaultNoMiniMode = 0x20000000,
  fosForcePreviewPaneOn = 0x40000000,
};
using TFileDialogOptions = uint32_t;

enum class TDialogType { dtOpen, dtSave };

// One file type: a name shown to the user and its patterns ("*.mp3;*.wav").
struct TFileTypeItem {
  QString Name;
  QString Spec;
};

class TWin7FileDialog {
 public:
  using TNotifyEvent = std::function<void(TWin7FileDialog&)>;
  using TCanCloseEvent = std::function<bool(TWin7FileDialog&)>;

  // The dialog is modal to the owner's window.
  explicit TWin7FileDialog(QWidget* owner);

  QString DefaultExt;
  TDialogType DialogType = TDialogType::dtOpen;
  QString FileName;
  QString Filter;  // "Name|Patterns|Name|Patterns"; FilterArray is used when empty
  std::vector<TFileTypeItem> FilterArray;
  int FilterIndex = 1;  // counted from 1
  QString InitialDir;
  TFileDialogOptions Options = 0;  // replace the dialog's defaults
  QString Title;
  QString OKButtonLabel;  // "Select" unless changed

  TCanCloseEvent OnCanClose;  // false keeps the dialog open after OK
  TNotifyEvent OnFolderChange;
  TNotifyEvent OnSelectionChange;
  TNotifyEvent OnTypeChange;
  TNotifyEvent OnClose;
  TNotifyEvent OnShow;

  // Shows the dialog; true when it was closed with OK, FileName then holds the
  // chosen path.
  bool Execute();
  // Sets a dialog up from the properties without showing it.
  void Configure(QFileDialog& dialog) const;
  // The file types as Qt name filters ("Name (*.mp3 *.wav)").
  QStringList NameFilters() const;

  QWidget* Owner() const { return owner_; }

 private:
  QWidget* owner_;
};

// Passes the notifications of a shown dialog on to the events of its
// TWin7FileDialog; registered for the time the dialog is shown.
class TFileDialogEvent {
 public:
  TFileDialogEvent(TWin7FileDialog& owner, QFileDialog& dialog);
  ~TFileDialogEvent();
  TFileDialogEvent(const TFileDialogEvent&) = delete;
  TFileDialogEvent& operator=(const TFileDialogEvent&) = delete;

  // The OK press: stores the chosen path in FileName; false when OnCanClose
  // refuses to let the dialog close.
  bool FileOk();

 private:
  TWin7FileDialog& owner_;
  QFileDialog& dialog_;
  std::vector<QMetaObject::Connection> connections_;
};

}  // namespace dov
