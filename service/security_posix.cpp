// The service's private files on POSIX: modes and owners, checked by
// descriptor, never through a symbolic link.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "service/digest.h"
#include "service/security.h"

namespace notavero::service {

namespace {

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
  void reset(int fd) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Refuses a directory on the way to a followed link that is not root's,
// is itself a link, or that group or others may write.
void CheckRootsDirectory(int fd, const std::string& refused, const std::string& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    throw std::runtime_error(SystemError("cannot examine", path));
  }
  if (S_ISDIR(info.st_mode) && info.st_uid == 0 && (info.st_mode & 022) == 0) {
    return;
  }
  throw std::runtime_error(
      refused + path + ", on its way, is " +
      (S_ISDIR(info.st_mode) ? "owned by " + OwnerText(info.st_uid) + " with mode " + ModeText(info.st_mode)
                             : std::string(S_ISLNK(info.st_mode) ? "a symbolic link" : "not a directory")) +
      ": every directory on the way must be root's and closed to writes of group and others, or another user "
      "could make or change the link");
}

// The state directory systemd makes for a dynamic user: a root-owned link
// NAME -> private/NAME in a directory of root's, the real directory inside
// the root-owned private/.  Opens that directory, walking from / one
// directory at a time without following any link but this one, or throws
// saying what was refused and why.
int OpenManagersLink(const std::string& what, const std::string& path, const std::string& manager_dir,
                     std::string& real) {
  const std::string refused = what + " " + path + " is a symbolic link, and is not followed: ";
  if (manager_dir.empty() || path != manager_dir) {
    throw std::runtime_error(
        refused +
        (manager_dir.empty() ? std::string("no service manager named it (STATE_DIRECTORY is not set)")
                             : "the service manager named " + manager_dir + " (STATE_DIRECTORY)") +
        "; the service follows a link only to the directory systemd makes for a dynamic user; put the real "
        "directory there");
  }
  std::vector<std::string> parts;
  for (std::size_t start = 1; path.front() == '/' && start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  const bool plain = !parts.empty() && std::none_of(parts.begin(), parts.end(), [](const std::string& part) {
    return part.empty() || part == "." || part == "..";
  });
  if (!plain) {
    throw std::runtime_error(refused + "it is not an absolute path of plain names");
  }
  const std::string name = parts.back();
  parts.pop_back();
  Descriptor dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string walked;
  CheckRootsDirectory(dir.get(), refused, "/");
  for (const std::string& part : parts) {
    walked += "/" + part;
    dir.reset(::openat(dir.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) {
      throw std::runtime_error(SystemError("cannot open", walked));
    }
    CheckRootsDirectory(dir.get(), refused, walked);
  }
  struct stat link {};
  if (::fstatat(dir.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
    throw std::runtime_error(refused + "it changed while it was examined");
  }
  std::array<char, 4096> target{};
  const ssize_t size = ::readlinkat(dir.get(), name.c_str(), target.data(), target.size() - 1);
  const std::string to =
      size > 0 ? std::string(target.data(), static_cast<std::size_t>(size)) : std::string();
  if (link.st_uid != 0) {
    throw std::runtime_error(refused + "it is owned by " + OwnerText(link.st_uid) +
                             ", and only a link of root's, as the service manager makes it, is followed");
  }
  if (to != "private/" + name && to != walked + "/private/" + name) {
    throw std::runtime_error(refused + "it points at " + (to.empty() ? "nothing readable" : to) +
                             ", and only a link to private/" + name +
                             " beside it, as the service manager makes it for a dynamic user, is followed");
  }
  for (const bool last : {false, true}) {
    const std::string part = last ? name : "private";
    walked += "/" + part;
    dir.reset(
        ::openat(dir.get(), part.c_str(), (last ? O_RDONLY | O_DIRECTORY : O_PATH) | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) {
      throw std::runtime_error(SystemError("cannot open " + what, walked));
    }
    if (!last) {
      CheckRootsDirectory(dir.get(), refused, walked);
    }
  }
  real = walked;
  return dir.release();
}

// Returns the directory's path without a link: path, or where the service
// manager's link points.
std::string CheckDirectory(const std::string& what, const std::string& path, bool create,
                           const std::string& manager_dir = {}) {
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
  struct stat entry {};
  const bool link = ::lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode);
  std::string real = path;
  const Descriptor dir(link ? OpenManagersLink(what, path, manager_dir, real)
                            : OpenNoFollow(what, path, O_RDONLY | O_DIRECTORY));
  if (dir.get() < 0) {
    throw std::runtime_error(SystemError("cannot open " + what, path));
  }
  CheckOwnedAndPrivate(dir.get(), what, real, true, 022);
  return real;
}

}  // namespace

StatePaths CheckPrivateState(const StatePaths& given, const std::string& manager_state_dir) {
  StatePaths state = given;
  state.dir = CheckDirectory("the state directory", given.dir, true, manager_state_dir);
  for (std::string* path : {&state.token_file, &state.journal}) {
    if (path->size() > given.dir.size() && path->compare(0, given.dir.size() + 1, given.dir + "/") == 0) {
      *path = state.dir + path->substr(given.dir.size());
    }
  }
  for (const std::string& other : {ParentOf(state.token_file), ParentOf(state.journal)}) {
    if (other != state.dir) {
      CheckDirectory("the directory", other, false);
    }
  }
  // The journal and the files SQLite keeps beside it; those missing are
  // created later under umask 077.
  const std::string& journal = state.journal;
  for (const std::string& path :
       {journal, journal + "-wal", journal + "-shm", journal + "-journal", journal + ".pending"}) {
    const Descriptor fd(OpenNoFollow("the journal file", path, O_RDONLY | O_NONBLOCK));
    if (fd.get() >= 0) {
      CheckOwnedAndPrivate(fd.get(), "the journal file", path, false, 022);
    }
  }
  return state;
}

std::string LoadOrCreateToken(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    std::string token = RandomHex(kTokenBytes);
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
  return TokenOfFile(std::string(text.data(), static_cast<std::size_t>(got)), path);
}

}  // namespace notavero::service
