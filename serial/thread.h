// The port's own small thread class: a thread with a chosen stack size and
// priority.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

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

}  // namespace notavero
