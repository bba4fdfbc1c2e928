// The service's process on Linux: SIGINT and SIGTERM stop it through
// sigwait, systemd hears of its readiness (Type=notify), umask 077.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "service/process.h"

namespace notavero::service {

namespace {

sigset_t& StopSignals() {
  static sigset_t signals;
  return signals;
}

}  // namespace

void PrepareStop() {
  // SIGINT and SIGTERM end the service through sigwait on this thread; every
  // thread started later inherits the mask.
  sigset_t& signals = StopSignals();
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void WaitForStop() {
  int signal = 0;
  sigwait(&StopSignals(), &signal);
}

void RestrictNewFiles() {
  ::umask(077);
}

// Tells systemd (Type=notify) that the service is ready: one datagram to
// $NOTIFY_SOCKET.  Nothing happens outside systemd.
void NotifyReady() {
  const char* path = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe): nobody sets it
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof(sockaddr_un::sun_path)) {
    return;
  }
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (address.sun_path[0] == '@') {
    address.sun_path[0] = '\0';  // an abstract socket
  }
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(path));
  constexpr std::string_view kReady = "READY=1";
  (void)::sendto(fd, kReady.data(), kReady.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                 size);
  ::close(fd);
}

}  // namespace notavero::service

int main(int argc, char** argv) {
  return notavero::service::Serve(argc, argv);
}
