#include "app/RenameFiles.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>
#include <exception>

#include "app/FolderPicker.h"
#include "app/Translate.h"
#include "common/Version.h"

namespace dov {
namespace {

// Sizes in pixels at 96 pixels per inch.
constexpr int kClientWidth = 597;
constexpr int kButtonWidth = 118;
constexpr int kActionWidth = 280;  // the action check boxes
constexpr int kReplaceLabelLeft = 331;
constexpr int kFontPixels = 11;

// The one-character replacement field. A key that types a character replaces
// the character already there, as in a masked field. "/" is refused: it
// would turn a tag's text into folders and let it steer a file elsewhere.
class TCharEdit : public QLineEdit {
 public:
  TCharEdit() {
    setMaxLength(1);
    setPlaceholderText(QStringLiteral("_"));
    setAlignment(Qt::AlignCenter);
    setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^/]?")), this));
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const QString typed = event->text();
    if (!typed.isEmpty() && typed.at(0).isPrint() && !hasSelectedText() &&
        text().size() >= maxLength())
      selectAll();
    QLineEdit::keyPressEvent(event);
  }
};

std::u16string ToWide(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

QPushButton* MakeButton(const char* name, const QString& text, int width) {
  auto* button = new QPushButton(text);
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoDefault(false);  // Enter in a field starts nothing
  button->setFixedWidth(width);
  return button;
}

QCheckBox* MakeCheckBox(const char* name, const QString& text) {
  auto* box = new QCheckBox(text);
  box->setObjectName(QString::fromLatin1(name));
  return box;
}

QLineEdit* MakeEdit(const char* name) {
  auto* edit = new QLineEdit;
  edit->setObjectName(QString::fromLatin1(name));
  return edit;
}

}  // namespace

QString FolderPart(const QString& path) {
  const qsizetype slash = path.lastIndexOf(u'/');
  return slash < 0 ? QString() : path.left(slash + 1);
}

QString StatusText(const TJobStatus& status) {
  if (status.Step == EJobStep::Listing) return Tr("Loading files... %1").arg(status.Count);
  if (status.Step == EJobStep::Finished && status.Count < status.Total)
    return Tr("%1 files moved and/or renamed, and %2 unchanged.")
        .arg(QString::number(status.Count), QString::number(status.Total - status.Count));
  return Tr("%1 files moved and/or renamed").arg(status.Count);
}

QString JobStoppedText(const char* what) {
  // TRANSLATORS: %1 is the error's own message, in English.
  return Tr("The job stopped: %1").arg(QString::fromUtf8(what));
}

TFileRename::TFileRename(IFolderPicker& picker, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint),
      picker_(picker),
      engine_(fileOps_, *this) {
  setObjectName(QStringLiteral("FileRename"));
  // TRANSLATORS: %1 is the program's version, such as 2.6.
  setWindowTitle(Tr("Rename/Move Audio Files based on file tags (v%1)").arg(kVersion));
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(kFontPixels);
  setFont(font);

  BuildControls();
  BuildLayout();
  Connect();

  // Fixed size, at the centre of the desktop.
  setFixedSize(kClientWidth, sizeHint().height());
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TFileRename::BuildControls() {
  btBrowse_ = MakeButton("btBrowse", Tr("Source Folder"), kButtonWidth);
  SourceFolder_ = MakeEdit("SourceFolder");

  Label2_ = new QLabel(
      Tr("Supports WAV (LIST & Cart Chunk), MP3/MP2 (ID3 v1 & v2.3+), MP4/M4A, WMA, OGG, "
         "FLAC, APEv2"));
  Label2_->setObjectName(QStringLiteral("Label2"));
  Label2_->setAlignment(Qt::AlignCenter);
  QPalette hotLight = Label2_->palette();
  hotLight.setColor(QPalette::WindowText, hotLight.color(QPalette::Link));
  Label2_->setPalette(hotLight);

  cbSubfolders_ = MakeCheckBox("cbSubfolders", Tr("Include subfolders"));
  cbRename_ = MakeCheckBox("cbRename", Tr("Rename files to \"Artist - Title\" format"));
  Label1_ = new QLabel(Tr("Replace Invalid chars with"));
  Label1_->setObjectName(QStringLiteral("Label1"));
  Label1_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  ReplaceChar_ = new TCharEdit;
  ReplaceChar_->setObjectName(QStringLiteral("ReplaceChar"));
  ReplaceChar_->setText(QStringLiteral(" "));
  ReplaceChar_->setFixedWidth(20);
  Label1_->setBuddy(ReplaceChar_);
  cbMove_ = MakeCheckBox("cbMove", Tr("Move to subfolders based on genre"));
  cbCopy_ = MakeCheckBox("cbCopy", Tr("Copy to subfolders based on genre"));

  btDestFolder_ = MakeButton("btDestFolder", Tr("Destination Folder"), kButtonWidth);
  btDestFolder_->setEnabled(false);
  DestFolder_ = MakeEdit("DestFolder");
  DestFolder_->setEnabled(false);

  btStart_ = MakeButton("btStart", Tr("Start"), 74);
  btStart_->setEnabled(false);
  btClose_ = MakeButton("btClose", Tr("Close"), 74);

  ProgressBar_ = new QProgressBar;
  ProgressBar_->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar_->setTextVisible(false);
  ProgressBar_->setRange(0, 100);
  ProgressBar_->setValue(0);
  ProgressBar_->setFixedHeight(14);

  StatusBar_ = new QStatusBar;
  StatusBar_->setObjectName(QStringLiteral("StatusBar"));
  StatusBar_->setSizeGripEnabled(false);
  StatusBar_->showMessage(Tr("Choose a source folder and at least one action, then press Start."));
}

void TFileRename::BuildLayout() {
  auto* sourceRow = new QHBoxLayout;
  sourceRow->addWidget(btBrowse_);
  sourceRow->addWidget(SourceFolder_, 1);

  auto* renameRow = new QHBoxLayout;
  renameRow->setSpacing(0);
  cbRename_->setMinimumWidth(kActionWidth);
  renameRow->addWidget(cbRename_);
  renameRow->addStretch(1);
  Label1_->setMinimumWidth(130);
  renameRow->addWidget(Label1_);
  renameRow->addSpacing(3);
  renameRow->addWidget(ReplaceChar_);
  renameRow->addSpacing(kClientWidth - kReplaceLabelLeft - 130 - 3 - 20);

  auto* destRow = new QHBoxLayout;
  destRow->addWidget(btDestFolder_);
  destRow->addWidget(DestFolder_, 1);

  auto* buttonRow = new QHBoxLayout;
  buttonRow->addWidget(btStart_);
  buttonRow->addStretch(1);
  buttonRow->addWidget(btClose_);

  auto* form = new QVBoxLayout(this);
  form->setContentsMargins(6, 6, 6, 0);
  form->setSpacing(4);
  form->addLayout(sourceRow);
  form->addWidget(Label2_);
  form->addWidget(cbSubfolders_);
  form->addLayout(renameRow);
  form->addWidget(cbMove_);
  form->addWidget(cbCopy_);
  form->addSpacing(8);
  form->addLayout(destRow);
  form->addSpacing(18);
  form->addLayout(buttonRow);
  form->addWidget(ProgressBar_);
  form->addWidget(StatusBar_);

  // The tab order of the form.
  QWidget* const chain[] = {btBrowse_,     SourceFolder_, cbSubfolders_, cbMove_,
                            btDestFolder_, DestFolder_,   btStart_,      btClose_,
                            cbRename_,     cbCopy_,       ReplaceChar_};
  for (size_t i = 0; i + 1 < std::size(chain); ++i) setTabOrder(chain[i], chain[i + 1]);
}

void TFileRename::Connect() {
  connect(btBrowse_, &QPushButton::clicked, this, [this] { btBrowseClick(); });
  connect(SourceFolder_, &QLineEdit::textChanged, this, [this] { SourceFolderChange(); });
  connect(DestFolder_, &QLineEdit::textChanged, this, [this] { DestFolderChange(); });
  // A check box changed by code runs its handler too.
  connect(cbRename_, &QCheckBox::toggled, this, [this] { OptionChange(); });
  connect(cbMove_, &QCheckBox::toggled, this, [this] { cbMoveClick(); });
  connect(cbCopy_, &QCheckBox::toggled, this, [this] { cbCopyClick(); });
  connect(btDestFolder_, &QPushButton::clicked, this, [this] { btDestFolderClick(); });
  connect(btStart_, &QPushButton::clicked, this, [this] { btStartClick(); });
  connect(btClose_, &QPushButton::clicked, this, [this] { btCloseClick(); });
}

void TFileRename::btBrowseClick() {
  QString folder = SourceFolder_->text();
  if (picker_.PickFolder(Tr("Select a source folder"), QString(), folder, SourceFolder_))
    SourceFolder_->setText(folder);
}

// An empty destination takes the source's text, and keeps following it until
// something else changes the destination.
void TFileRename::SourceFolderChange() {
  if (DestFolder_->text().isEmpty() || destFromSource_) {
    fillingDest_ = true;
    DestFolder_->setText(SourceFolder_->text());
    fillingDest_ = false;
    destFromSource_ = true;
  }
  OptionChange();
}

void TFileRename::DestFolderChange() {
  if (!fillingDest_) destFromSource_ = false;
  OptionChange();
}

void TFileRename::OptionChange() {
  btStart_->setEnabled(!SourceFolder_->text().isEmpty() && !DestFolder_->text().isEmpty() &&
                       (cbRename_->isChecked() || cbMove_->isChecked() || cbCopy_->isChecked()));
}

void TFileRename::cbMoveClick() {
  if (cbMove_->isChecked()) cbCopy_->setChecked(false);
  UpdateDestEnabled();
}

void TFileRename::cbCopyClick() {
  if (cbCopy_->isChecked()) cbMove_->setChecked(false);
  UpdateDestEnabled();
}

// A disabled destination keeps its text; the job still uses it.
void TFileRename::UpdateDestEnabled() {
  const bool toGenreFolders = cbMove_->isChecked() || cbCopy_->isChecked();
  btDestFolder_->setEnabled(toGenreFolders);
  DestFolder_->setEnabled(toGenreFolders);
  OptionChange();
}

void TFileRename::btDestFolderClick() {
  QString folder = DestFolder_->text();
  if (folder.isEmpty()) folder = FolderPart(SourceFolder_->text());
  if (picker_.PickFolder(Tr("Select a destination folder"), QString(), folder, DestFolder_)) {
    DestFolder_->setText(folder);
    destFromSource_ = false;  // chosen, even when it is the source's text
  }
}

TRenameOptions TFileRename::Options() const {
  TRenameOptions options;
  options.SourceFolder = ToWide(SourceFolder_->text());
  options.DestFolder = ToWide(DestFolder_->text());
  options.Subfolders = cbSubfolders_->isChecked();
  options.Rename = cbRename_->isChecked();
  options.Move = cbMove_->isChecked();
  options.Copy = cbCopy_->isChecked();
  const QString replacement = ReplaceChar_->text();
  options.ReplaceChar =
      replacement.isEmpty() ? u' ' : static_cast<char16_t>(replacement[0].unicode());
  return options;
}

// The job runs here, on the window's thread. Its repaints let paint and timer
// events through but hold clicks and keys back until it ends, so the options
// cannot change while it runs.
void TFileRename::btStartClick() {
  jobRunning_ = true;
  try {
    engine_.Run(Options());
  } catch (const std::exception& error) {
    StatusBar_->showMessage(JobStoppedText(error.what()));
  }
  jobRunning_ = false;
  if (closeAfterJob_) close();
}

void TFileRename::btCloseClick() {
  close();
}

void TFileRename::closeEvent(QCloseEvent* event) {
  if (jobRunning_) {
    closeAfterJob_ = true;
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void TFileRename::ShowStatus(const TJobStatus& status) {
  StatusBar_->showMessage(StatusText(status));
}

void TFileRename::SetProgressMax(int max) {
  // A range of 0..0 would make the bar a busy indicator; an empty job shows an
  // empty bar instead.
  ProgressBar_->setRange(0, max > 0 ? max : 1);
}

void TFileRename::SetProgress(int position) {
  ProgressBar_->setValue(position);
}

void TFileRename::Repaint() {
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace dov
