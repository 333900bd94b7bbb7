// The user sink of the updater's dialog. Every call may come from the dialog thread or the
// upgrade worker; widgets are touched on the dialog thread only:
//  - a box of the worker has no owner and waits for OK on the worker thread, while the
//    dialog keeps running (its timer keeps showing status changes);
//  - a box asked for on the dialog thread is modal there, owned by the dialog when it says so;
//  - the four progress-bar operations are applied on the dialog thread, and the caller
//    waits until each one is;
//  - status texts need nothing here: the dialog's timer takes them from the program state.
#pragma once

#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

#include <functional>

#include "platform/user_sink.h"

namespace larkspan {

class QtUserSink final : public QObject, public UserSink {
  Q_OBJECT

 public:
  // Must be made on the dialog (GUI) thread.
  QtUserSink();

  void ShowMessage(const MessageBox& box) override;
  void ShowStatus(const WideText& status) override;
  void Progress(ProgressOp op, int a, int b) override;

  // The dialog that owns its own boxes, and the progress bar the worker drives.
  void SetDialog(QWidget* dialog) { dialog_ = dialog; }
  void SetProgressBar(QProgressBar* bar) { bar_ = bar; }

  // The caption of a box that names none.
  static QString CaptionOf(const MessageBox& box);

 private:
  bool OnGuiThread() const;
  // From the worker: runs `start` on the dialog thread and waits until it calls the `done` it
  // is given (at once, or later from a signal). Qt's event queue hands the call over; a mutex
  // and a condition variable hand the end back.
  void RunOnGuiThreadUntilDone(const std::function<void(const std::function<void()>& done)>& start);
  void ApplyProgress(ProgressOp op, int a, int b);

  QPointer<QWidget> dialog_;
  QPointer<QProgressBar> bar_;
  int step_ = 10;  // the progress bar's step, as the toolkit's default
};

}  // namespace larkspan
