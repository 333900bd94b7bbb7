#include "frontend/qt_user_sink.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace larkspan {

namespace {
QString ToQString(const WideText& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QMessageBox::Icon ToQtIcon(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::kNone: return QMessageBox::NoIcon;
    case BoxIcon::kInformation: return QMessageBox::Information;
    case BoxIcon::kWarning: return QMessageBox::Warning;
    case BoxIcon::kError: return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}
}  // namespace

QtUserSink::QtUserSink() = default;

QString QtUserSink::CaptionOf(const MessageBox& box) {
  return box.caption.empty() ? ToQString(kAppName) : ToQString(box.caption);
}

bool QtUserSink::OnGuiThread() const { return QThread::currentThread() == thread(); }

template <typename Work>
void QtUserSink::OnGuiThreadAndWait(Work&& work) {
  if (OnGuiThread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(this, std::forward<Work>(work), Qt::BlockingQueuedConnection);
}

void QtUserSink::ShowMessage(const MessageBox& box) {
  if (OnGuiThread()) {
    QWidget* owner = box.owner == BoxOwner::kDialog ? dialog_.data() : nullptr;
    QMessageBox message(ToQtIcon(box.icon), CaptionOf(box), ToQString(box.text), QMessageBox::Ok, owner);
    message.exec();
    return;
  }
  // From the worker: an ownerless box on the dialog thread that does not block it; the
  // worker waits here until OK was pressed.
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  QMetaObject::invokeMethod(this, [&] {
    auto* message = new QMessageBox(ToQtIcon(box.icon), CaptionOf(box), ToQString(box.text), QMessageBox::Ok);
    message->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(message, &QMessageBox::finished, [&] {
      std::lock_guard lock(mutex);
      done = true;
      answered.notify_one();
    });
    message->show();
  });
  std::unique_lock lock(mutex);
  answered.wait(lock, [&] { return done; });
}

void QtUserSink::ShowStatus(const WideText&) {}

void QtUserSink::ApplyProgress(ProgressOp op, int a, int b) {
  if (!bar_) return;
  switch (op) {
    case ProgressOp::kSetRange: bar_->setRange(a, b); break;
    case ProgressOp::kSetPos: bar_->setValue(a); break;
    case ProgressOp::kSetStep: step_ = a; break;
    case ProgressOp::kStepIt: {
      // A progress bar wraps to its low end when a step passes the high end.
      int position = bar_->value() + step_;
      if (position > bar_->maximum()) position = bar_->minimum() + (position - bar_->maximum());
      bar_->setValue(position);
      break;
    }
  }
}

void QtUserSink::Progress(ProgressOp op, int a, int b) {
  OnGuiThreadAndWait([this, op, a, b] { ApplyProgress(op, a, b); });
}

void QtUserSink::EndProcess(int status) {
  // The worker has closed the channels; nothing else needs an orderly end, and the dialog
  // thread must not be waited for from here.
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace larkspan
