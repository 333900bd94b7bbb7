#include "frontend/session/output_queue.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "platform/sigpipe.h"

namespace larkspan {

namespace {

struct Text {
  int fd;
  std::string text;
  int progress;  // 0: kept
};

// Writes all of `text`, waiting as long as the file takes to accept it (a terminal left
// non-blocking by another program too); false once it refuses it (a reader gone, a full disk).
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EAGAIN) {
      pollfd ready{fd, POLLOUT, 0};
      ::poll(&ready, 1, -1);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct OutputQueue::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Text> texts;
  bool writing = false;
  bool closing = false;
  unsigned interrupts = 0;
  std::set<int> refused;  // files a write failed on: the rest for them is dropped

  void Put(int fd, std::string text, int progress) {
    {
      std::lock_guard lock(mutex);
      if (progress != 0) {
        // The newest waiting text of this kind, unless a kept text came after it.
        for (auto it = texts.rbegin(); it != texts.rend() && it->progress != 0; ++it) {
          if (it->progress == progress && it->fd == fd) {
            texts.erase(std::next(it).base());
            break;
          }
        }
      }
      texts.push_back({fd, std::move(text), progress});
    }
    changed.notify_all();
  }

  void Write() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return closing || !texts.empty(); });
      if (texts.empty()) return;
      Text next = std::move(texts.front());
      texts.pop_front();
      if (refused.contains(next.fd)) continue;
      writing = true;
      lock.unlock();
      const bool written = WriteAll(next.fd, next.text);
      lock.lock();
      writing = false;
      if (!written) refused.insert(next.fd);
      changed.notify_all();
    }
  }
};

namespace {

struct StreamCookie {
  std::shared_ptr<OutputQueue::Shared> shared;
  int fd;
  int progress;
};

ssize_t CookieWrite(void* cookie, const char* data, size_t size) {
  auto* stream = static_cast<StreamCookie*>(cookie);
  stream->shared->Put(stream->fd, std::string(data, size), stream->progress);
  return static_cast<ssize_t>(size);
}

int CookieClose(void* cookie) {
  delete static_cast<StreamCookie*>(cookie);
  return 0;
}

constexpr size_t kStreamBuffer = 64 * 1024;  // larger than any one text, so that a flush is one

}  // namespace

OutputQueue::OutputQueue() : shared_(std::make_shared<Shared>()) {
  std::thread([shared = shared_] {
    BlockSigpipeInThisThread();
    shared->Write();
  }).detach();
}

OutputQueue::~OutputQueue() {
  for (std::FILE* stream : streams_) std::fclose(stream);
  {
    std::lock_guard lock(shared_->mutex);
    shared_->closing = true;
  }
  shared_->changed.notify_all();
}

std::FILE* OutputQueue::Stream(int fd) { return Open(fd, 0); }

std::FILE* OutputQueue::ProgressStream(int fd) { return Open(fd, static_cast<int>(streams_.size()) + 1); }

std::FILE* OutputQueue::Open(int fd, int progress) {
  auto* cookie = new StreamCookie{shared_, fd, progress};
  std::FILE* stream = fopencookie(cookie, "w", {nullptr, CookieWrite, nullptr, CookieClose});
  if (!stream) {
    delete cookie;
    return fd == STDOUT_FILENO ? stdout : stderr;
  }
  std::setvbuf(stream, nullptr, _IOFBF, kStreamBuffer);
  streams_.push_back(stream);
  return stream;
}

void OutputQueue::Drain() {
  std::unique_lock lock(shared_->mutex);
  const unsigned interrupts = shared_->interrupts;
  shared_->changed.wait(lock, [&] {
    return (shared_->texts.empty() && !shared_->writing) || shared_->interrupts != interrupts;
  });
}

void OutputQueue::Interrupt() {
  {
    std::lock_guard lock(shared_->mutex);
    ++shared_->interrupts;
  }
  shared_->changed.notify_all();
}

}  // namespace larkspan
