#include "service/security.h"

#include <algorithm>
#include <stdexcept>

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

}  // namespace

std::string TokenOfFile(std::string text, const std::string& path) {
  text.resize(std::min(text.size(), text.find('\n')));
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.size() < 16) {
    throw std::runtime_error("the token in " + path + " is shorter than 16 characters");
  }
  return text;
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

}  // namespace notavero::service
