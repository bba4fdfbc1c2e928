// Thread on POSIX threads.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <utility>

#include "serial/thread.h"

namespace notavero {
namespace {

// glibc carves thread-local storage out of the thread's stack and the
// sanitizer runtimes enlarge every frame, so the small stacks a port asks for
// are raised to this floor here.
constexpr std::size_t kMinStack = std::size_t{256} * 1024;

void* Trampoline(void* arg) {
  (*static_cast<std::function<void()>*>(arg))();
  return nullptr;
}

}  // namespace

struct Thread::Native {
  pthread_t id{};
  bool running = false;
};

Thread::Thread() : native_(std::make_unique<Native>()) {}

Thread::~Thread() {
  Join();
}

bool Thread::Start(std::function<void()> body, std::size_t stack_size) {
  if (native_->running) {
    return false;
  }
  body_ = std::move(body);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, std::max(stack_size, kMinStack));
  const int rc = pthread_create(&native_->id, &attr, Trampoline, &body_);
  pthread_attr_destroy(&attr);
  native_->running = rc == 0;
  return native_->running;
}

void Thread::SetPriority(ThreadPriority priority) {
  if (!native_->running || priority == ThreadPriority::kNormal) {
    return;
  }
  // Real-time scheduling needs privileges a normal process lacks; the
  // refusal is not an error, the thread then keeps the normal policy.
  sched_param param{};
  const int top = sched_get_priority_max(SCHED_FIFO);
  param.sched_priority = priority == ThreadPriority::kTimeCritical ? top : top - 1;
  (void)pthread_setschedparam(native_->id, SCHED_FIFO, &param);
}

void Thread::Join() {
  if (native_->running) {
    pthread_join(native_->id, nullptr);
    native_->running = false;
  }
}

bool Thread::Running() const {
  return native_->running;
}

}  // namespace notavero
