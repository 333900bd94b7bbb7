// larkspan-cli's answer to signals. A closed terminal or a dropped SSH session (SIGHUP) and a
// reader gone (SIGPIPE) never stop a run: it goes on to its end, and output nobody can see is
// dropped. SIGINT and SIGTERM stop a run, except while the receiver has no working firmware:
// then the first one says what stopping would do and the run goes on, and a second within 5
// seconds stops it all the same. A stop is a request: the run ends at its next record, byte or
// wait and closes the port through its own code; nothing here ends the process.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

namespace larkspan {

class SignalWatch {
 public:
  // Blocks the four signals in this thread and in every thread made after it: make it first
  // in main. Then a thread of its own takes them.
  SignalWatch();
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
  // Stops taking signals (they stay blocked); call before what the callbacks use goes away.
  void Stop();

  // Whether the receiver is without working firmware now.
  std::function<bool()> in_window = [] { return false; };
  // Told of a first SIGINT or SIGTERM in the window.
  std::function<void(int signal)> warn = [](int) {};
  // Asks the run to stop for `signal`; returns at once. Told of every stopping signal, a
  // repeated one too. Until a run says how it stops, nothing is open yet: the process ends.
  std::function<void(int signal)> stop = [](int signal) { std::_Exit(128 + signal); };

  static constexpr std::chrono::seconds kSecondSignalWithin{5};

 private:
  sigset_t signals_{};
  std::jthread thread_;
};

}  // namespace larkspan
