// What the updaters print on the terminal, written by a thread of its own, so that a terminal whose output is
// stopped (Ctrl-S, tcflow, a frozen SSH session) or a pipe nobody reads never holds up an
// upgrade. The program's threads hand over whole texts and go on at once; the texts go out in
// the order they came. A progress text waiting to be written is replaced by a newer one of the
// same kind when nothing that must be kept came between them: a writer that blocks loses
// intermediate progress, never a box, a result or the last progress step. Any thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace larkspan {

class OutputQueue {
 public:
  OutputQueue();
  // Writes what is left when the output takes it; a writer blocked for good is left behind.
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // A stdio stream whose text goes to `fd` through the queue, one text for each flush (flush
  // after each whole text); every text is kept. Owned by the queue.
  std::FILE* Stream(int fd);
  // The same for progress texts: a text of this stream waiting to be written is replaced by
  // its next one. Each stream is a kind of progress of its own.
  std::FILE* ProgressStream(int fd);

  // Waits until everything handed over is written (a write that fails drops the rest for its
  // file), or until Interrupt() is called during the wait.
  void Drain();
  void Interrupt();

  struct Shared;  // the texts and the writer's state, shared with the writer thread

 private:
  std::FILE* Open(int fd, int progress);

  std::shared_ptr<Shared> shared_;
  std::vector<std::FILE*> streams_;  // the last one's progress kind is their count
};

}  // namespace larkspan
