// Thread on Win32 threads.
#include <windows.h>

#include <utility>

#include "serial/thread.h"

namespace notavero {
namespace {

DWORD WINAPI Trampoline(LPVOID arg) {
  (*static_cast<std::function<void()>*>(arg))();
  return 0;
}

}  // namespace

struct Thread::Native {
  HANDLE handle = nullptr;
  DWORD id = 0;
};

Thread::Thread() : native_(std::make_unique<Native>()) {}

Thread::~Thread() {
  Join();
}

bool Thread::Start(std::function<void()> body, std::size_t stack_size) {
  if (native_->handle != nullptr) {
    return false;
  }
  body_ = std::move(body);
  native_->handle = CreateThread(nullptr, stack_size, Trampoline, &body_, 0, &native_->id);
  return native_->handle != nullptr;
}

void Thread::SetPriority(ThreadPriority priority) {
  if (native_->handle == nullptr) {
    return;
  }
  int value = THREAD_PRIORITY_NORMAL;
  if (priority == ThreadPriority::kHighest) {
    value = THREAD_PRIORITY_HIGHEST;
  } else if (priority == ThreadPriority::kTimeCritical) {
    value = THREAD_PRIORITY_TIME_CRITICAL;
  }
  SetThreadPriority(native_->handle, value);
}

void Thread::Join() {
  if (native_->handle != nullptr) {
    WaitForSingleObject(native_->handle, INFINITE);
    CloseHandle(native_->handle);
    native_->handle = nullptr;
  }
}

bool Thread::Running() const {
  return native_->handle != nullptr;
}

}  // namespace notavero
