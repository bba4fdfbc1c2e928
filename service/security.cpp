#include "service/security.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace notavero::service {

namespace {

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) {
             return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

bool Listed(const std::vector<std::string>& list, std::string_view value) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& entry) { return SameText(entry, value); });
}

std::string HostPart(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool IsLoopback(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1";
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::system_category().message(errno);
}

// "uid 65534 (nobody)": the name only when the user database has it.
std::string OwnerText(uid_t uid) {
  std::string text = "uid " + std::to_string(uid);
  std::array<char, 1024> scratch{};
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr) {
    text += std::string(" (") + found->pw_name + ")";
  }
  return text;
}

std::string ModeText(mode_t mode) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode & 07777));
  return text.data();
}

// Refuses what the descriptor shows: another owner than this service's
// user or root, a mode that lets others write (or, with private, read), the
// wrong file type.
void CheckOwnedAndPrivate(int fd, const std::string& what, const std::string& path, bool directory,
                          mode_t forbidden) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    throw std::runtime_error(SystemError("cannot examine " + what, path));
  }
  const uid_t self = ::geteuid();
  const bool right_type = directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
  const bool right_owner = info.st_uid == self || info.st_uid == 0;
  if (right_type && right_owner && (info.st_mode & forbidden) == 0) {
    return;
  }
  std::string problem = what + " " + path + " is ";
  if (!right_type) {
    problem += directory ? "not a directory" : "not a regular file";
  } else {
    problem += "owned by " + OwnerText(info.st_uid) + " with mode " + ModeText(info.st_mode);
  }
  problem += ": it must be " + std::string(directory ? "a directory" : "a regular file") +
             " owned by this service's user, " + OwnerText(self) + ", or by root, with no access for " +
             ((forbidden & 044) != 0 ? "group or others" : "others to write") +
             "; someone else may have put it there to forge money or tokens: remove it (the service creates "
             "what is missing) or, if it is yours, chown and chmod " +
             (directory ? "700" : "600") + " it";
  throw std::runtime_error(problem);
}

// Opens path without following a symbolic link; -1 with errno ENOENT when
// it does not exist.  A link is refused with a message.
int OpenNoFollow(const std::string& what, const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
    throw std::runtime_error(
        what + " " + path +
        " is a symbolic link (or under one that is not a directory): the service does not "
        "follow links to its private files; put the real file there");
  }
  if (fd < 0 && errno != ENOENT) {
    throw std::runtime_error(SystemError("cannot open " + what, path));
  }
  return fd;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void CheckDirectory(const std::string& what, const std::string& path, bool create) {
  int made = create && ::mkdir(path.c_str(), 0700) != 0 ? errno : 0;
  if (made == ENOENT) {
    // Missing parents (~/.local/state on a new account) are made as mkdir -p
    // makes them, private under the service's umask.
    std::error_code ignored;
    std::filesystem::create_directories(ParentOf(path), ignored);
    made = ::mkdir(path.c_str(), 0700) != 0 ? errno : 0;
  }
  if (create && ::access(path.c_str(), F_OK) != 0) {
    // Why mkdir failed (EACCES in a directory the service may not write),
    // not the ENOENT of the check after it.
    errno = made != 0 && made != EEXIST ? made : errno;
    throw std::runtime_error(SystemError("cannot create " + what, path));
  }
  const Descriptor dir(OpenNoFollow(what, path, O_RDONLY | O_DIRECTORY));
  if (dir.get() < 0) {
    throw std::runtime_error(SystemError("cannot open " + what, path));
  }
  CheckOwnedAndPrivate(dir.get(), what, path, true, 022);
}

}  // namespace

void CheckPrivateState(const std::string& state_dir, const std::string& token_file,
                       const std::string& journal) {
  CheckDirectory("the state directory", state_dir, true);
  for (const std::string& other : {ParentOf(token_file), ParentOf(journal)}) {
    if (other != state_dir) {
      CheckDirectory("the directory", other, false);
    }
  }
  // The journal and the files SQLite keeps beside it; those missing are
  // created later under umask 077.
  for (const std::string& path :
       {journal, journal + "-wal", journal + "-shm", journal + "-journal", journal + ".pending"}) {
    const Descriptor fd(OpenNoFollow("the journal file", path, O_RDONLY | O_NONBLOCK));
    if (fd.get() >= 0) {
      CheckOwnedAndPrivate(fd.get(), "the journal file", path, false, 022);
    }
  }
}

std::vector<std::string> OwnHosts(const std::string& address, unsigned port) {
  const std::string suffix = ":" + std::to_string(port);
  std::vector<std::string> hosts = {HostPart(address) + suffix};
  if (IsLoopback(address)) {
    hosts.push_back("localhost" + suffix);
  }
  if (port == 80) {
    hosts.push_back(HostPart(address));
    if (IsLoopback(address)) {
      hosts.emplace_back("localhost");
    }
  }
  return hosts;
}

std::vector<std::string> OwnOrigins(const std::string& address, unsigned port) {
  std::vector<std::string> origins;
  for (const auto& host : OwnHosts(address, port)) {
    origins.push_back("http://" + host);
  }
  return origins;
}

bool HostAllowed(const AccessPolicy& policy, std::string_view host) {
  return Listed(policy.hosts, host);
}

bool OriginAllowed(const AccessPolicy& policy, std::string_view origin, bool present) {
  return !present || Listed(policy.origins, origin);
}

bool TokenEquals(std::string_view expected, std::string_view given) {
  if (expected.empty()) {
    return false;
  }
  unsigned char diff = expected.size() == given.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char other = i < given.size() ? given[i] : '\0';
    diff |= static_cast<unsigned char>(expected[i] ^ other);
  }
  return diff == 0;
}

bool BearerAllowed(const AccessPolicy& policy, std::string_view authorization) {
  constexpr std::string_view kScheme = "Bearer ";
  if (authorization.size() <= kScheme.size() || !SameText(authorization.substr(0, kScheme.size()), kScheme)) {
    return false;
  }
  return TokenEquals(policy.token, authorization.substr(kScheme.size()));
}

std::string LoadOrCreateToken(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    std::random_device random;
    std::array<unsigned char, 32> bytes{};
    for (auto& byte : bytes) {
      byte = static_cast<unsigned char>(random());
    }
    std::string token;
    constexpr std::string_view kHex = "0123456789abcdef";
    for (const unsigned char byte : bytes) {
      token += kHex[byte >> 4];
      token += kHex[byte & 15];
    }
    const std::string line = token + "\n";
    const bool written =
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
    const std::string error = written ? std::string() : SystemError("cannot write", path);
    ::close(fd);
    if (!written) {
      ::unlink(path.c_str());
      throw std::runtime_error(error);
    }
    return token;
  }
  if (errno != EEXIST) {
    throw std::runtime_error(SystemError("cannot create the token file", path));
  }
  const Descriptor existing(OpenNoFollow("the token file", path, O_RDONLY | O_NONBLOCK));
  if (existing.get() < 0) {
    throw std::runtime_error(SystemError("cannot read the token file", path));
  }
  CheckOwnedAndPrivate(existing.get(), "the token file", path, false, 077);
  std::array<char, 512> text{};
  const ssize_t got = ::read(existing.get(), text.data(), text.size());
  if (got < 0) {
    throw std::runtime_error(SystemError("cannot read the token file", path));
  }
  std::string token(text.data(), static_cast<std::size_t>(got));
  token.resize(std::min(token.size(), token.find('\n')));
  while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) {
    token.pop_back();
  }
  if (token.size() < 16) {
    throw std::runtime_error("the token in " + path + " is shorter than 16 characters");
  }
  return token;
}

}  // namespace notavero::service
