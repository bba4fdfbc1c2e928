#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "service/platform.h"

namespace notavero::service {

std::string HostName() {
  char host[256] = {};
  return ::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0' ? host : "kiosk";
}

std::string DefaultStateDir() {
  return "/var/lib/notavero-serve";
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name;
}

int SyncFile(int fd) {
  return ::fsync(fd);
}

void SyncDirectoryOf(const std::string& path, int (*sync)(int fd)) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    sync(dir_fd);
    ::close(dir_fd);
  }
}

int OpenForAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

std::size_t OpenFilesLimit() {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  return static_cast<std::size_t>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
}

int OpenReserveDescriptor() {
  return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void CloseReserveDescriptor(int fd) {
  if (fd >= 0) {
    ::close(fd);
  }
}

void AcceptAndClose(std::uintptr_t listening) {
  const int fd = ::accept4(static_cast<int>(listening), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
  }
}

}  // namespace notavero::service
