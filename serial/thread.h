// The port's own small thread class (a thread with a chosen stack size and
// priority) and an auto-reset event for start-up acknowledgements and
// stoppable pauses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace notavero {

enum class ThreadPriority { kNormal, kHighest, kTimeCritical };

// One native thread.  Start runs `body` on a new thread; Join waits for its
// end.  The destructor joins a thread that is still running, so a thread is
// never left behind.
class Thread {
 public:
  Thread();
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread with at least `stack_size` bytes of stack; false when
  // the platform refuses to create it.
  bool Start(std::function<void()> body, std::size_t stack_size);
  // Best effort: a priority the system does not grant (an unprivileged
  // process on Linux) leaves the thread at its current priority.
  void SetPriority(ThreadPriority priority);
  void Join();
  [[nodiscard]] bool Running() const;

 private:
  struct Native;
  std::unique_ptr<Native> native_;
  std::function<void()> body_;
};

// An auto-reset event: Set wakes one Wait, or the next one.
class Signal {
 public:
  void Set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    cv_.notify_one();
  }
  // Waits until set or until `timeout` has passed; true when set (and resets it).
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return set_; })) {
      return false;
    }
    set_ = false;
    return true;
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return set_; });
    set_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace notavero
