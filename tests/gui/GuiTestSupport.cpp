#include "tests/gui/GuiTestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

namespace dov::test {

bool FakeFolderPicker::PickFolder(const QString& title, const QString&, QString& folder,
                                  QWidget* owner) {
  Calls.push_back({title, folder, owner});
  if (owner != nullptr) owner->setFocus();
  if (Replies.empty()) {
    folder = QStringLiteral("/scribbled/by/a/cancelled/dialog");
    return false;
  }
  folder = Replies.front();
  Replies.erase(Replies.begin());
  return true;
}

WhenModalShows::WhenModalShows(std::function<void(QWidget&)> action, int timeoutMs)
    : action_(std::move(action)),
      poll_(std::make_unique<QTimer>()),
      watchdog_(std::make_unique<QTimer>()) {
  poll_->setInterval(10);
  QObject::connect(poll_.get(), &QTimer::timeout, [this] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    poll_->stop();
    ran_ = true;
    action_(*modal);
  });
  watchdog_->setSingleShot(true);
  QObject::connect(watchdog_.get(), &QTimer::timeout, [] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
  poll_->start();
  watchdog_->start(timeoutMs);
}

WhenModalShows::~WhenModalShows() = default;

}  // namespace dov::test
