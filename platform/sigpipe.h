// A writer thread whose reader may go (a closed pipe, a FIFO whose reader left): SIGPIPE,
// raised on the thread that wrote, would end the whole program, a flash in the middle with it.
#pragma once

#include <signal.h>

namespace larkspan {

// Blocks SIGPIPE in the calling thread: it stays pending there, and the write fails with
// EPIPE instead.
inline void BlockSigpipeInThisThread() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

}  // namespace larkspan
