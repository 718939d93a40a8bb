// Helpers of the window's tests: a folder picker that answers without a
// dialog, and access to the window's controls by name.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/FolderPicker.h"

class QTimer;

namespace dov::test {

// Records every call and answers with the next prepared reply; without one it
// behaves like a cancelled dialog that scribbled on its folder.
class FakeFolderPicker : public IFolderPicker {
 public:
  struct Call {
    QString Title;
    QString StartFolder;
    QWidget* Owner;
  };
  std::vector<Call> Calls;
  std::vector<QString> Replies;  // each confirms with this folder

  bool PickFolder(const QString& title, const QString& root, QString& folder,
                  QWidget* owner) override;
};

// A control of a window by its name; throws when there is none.
template <class T>
T* Control(QWidget& window, const char* name) {
  T* control = window.findChild<T*>(QString::fromLatin1(name));
  if (control == nullptr) throw std::runtime_error(std::string("no control ") + name);
  return control;
}

// Runs action once a modal dialog is up (it polls for one); a dialog still up
// after the timeout is rejected so that a failing test cannot hang.
class WhenModalShows {
 public:
  explicit WhenModalShows(std::function<void(QWidget&)> action, int timeoutMs = 10000);
  ~WhenModalShows();
  bool Ran() const { return ran_; }

 private:
  std::function<void(QWidget&)> action_;
  bool ran_ = false;
  std::unique_ptr<QTimer> poll_;
  std::unique_ptr<QTimer> watchdog_;
};

}  // namespace dov::test
