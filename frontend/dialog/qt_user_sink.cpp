#include "frontend/dialog/qt_user_sink.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#if defined(__SANITIZE_THREAD__)
#define LARKSPAN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LARKSPAN_TSAN 1
#endif
#endif
#ifdef LARKSPAN_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace larkspan {

namespace {

// A call handed to the other thread goes through Qt's event queue, whose locks
// ThreadSanitizer cannot see in an uninstrumented Qt. These tell it where a hand-over happens,
// so that what one side wrote before it is ordered before what the other side reads after.
// The one token of every hand-over: its address is a constant, so taking it over reads
// nothing the other thread wrote.
char hand_over_token = 0;
#ifdef LARKSPAN_TSAN
void HandOver(void* token) { __tsan_release(token); }
void TakeOver(void* token) { __tsan_acquire(token); }
#else
void HandOver(void*) {}
void TakeOver(void*) {}
#endif

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

void QtUserSink::RunOnGuiThreadUntilDone(const std::function<void(const std::function<void()>& done)>& start) {
  std::mutex mutex;
  std::condition_variable ended;
  bool finished = false;
  const std::function<void()> done = [&] {
    std::lock_guard lock(mutex);
    finished = true;
    ended.notify_one();
  };
  HandOver(&hand_over_token);
  QMetaObject::invokeMethod(this, [&start, &done] {
    TakeOver(&hand_over_token);
    start(done);
  });
  std::unique_lock lock(mutex);
  ended.wait(lock, [&] { return finished; });
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
  RunOnGuiThreadUntilDone([&box](const std::function<void()>& done) {
    auto* message = new QMessageBox(ToQtIcon(box.icon), CaptionOf(box), ToQString(box.text), QMessageBox::Ok);
    message->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(message, &QMessageBox::finished, [&done] { done(); });
    message->show();
  });
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
  if (OnGuiThread()) {
    ApplyProgress(op, a, b);
    return;
  }
  RunOnGuiThreadUntilDone([&](const std::function<void()>& done) {
    ApplyProgress(op, a, b);
    done();
  });
}

}  // namespace larkspan
