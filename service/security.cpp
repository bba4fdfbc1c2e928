#include "service/security.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
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

}  // namespace

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
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw std::runtime_error(SystemError("cannot read the token file", path));
  }
  if ((info.st_mode & 077) != 0) {
    throw std::runtime_error("the token file " + path + " is readable by others: chmod 600 it");
  }
  std::ifstream file(path);
  std::string token;
  if (!std::getline(file, token)) {
    throw std::runtime_error("cannot read the token file " + path);
  }
  while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) {
    token.pop_back();
  }
  if (token.size() < 16) {
    throw std::runtime_error("the token in " + path + " is shorter than 16 characters");
  }
  return token;
}

}  // namespace notavero::service
