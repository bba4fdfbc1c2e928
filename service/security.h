// Who may talk to the service: the Host and Origin checks that keep web
// pages of other sites out (also through DNS rebinding), the bearer token
// and its file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace notavero::service {

struct AccessPolicy {
  // Host header values accepted, exactly as a client sends them
  // ("127.0.0.1:8765", "localhost:8765"); compared without letter case.
  std::vector<std::string> hosts;
  // Origin header values accepted for WebSocket handshakes and commands
  // ("http://127.0.0.1:8765"); compared without letter case.
  std::vector<std::string> origins;
  std::string token;
};

// The Host values and origins under which a service bound to address:port
// is reached: the address itself and, for a loopback address, localhost.
std::vector<std::string> OwnHosts(const std::string& address, unsigned port);
std::vector<std::string> OwnOrigins(const std::string& address, unsigned port);

bool HostAllowed(const AccessPolicy& policy, std::string_view host);
// A request without Origin comes from a program, not from a web page: it is
// let through here (the token still guards every change).  "null" and any
// origin not listed are refused.
bool OriginAllowed(const AccessPolicy& policy, std::string_view origin, bool present);
// `Authorization: Bearer TOKEN` with the right token.
bool BearerAllowed(const AccessPolicy& policy, std::string_view authorization);
// Compares in time that does not depend on where the texts differ.
bool TokenEquals(std::string_view expected, std::string_view given);

// The state's paths: its directory, the token file and the journal.
struct StatePaths {
  std::string dir;
  std::string token_file;
  std::string journal;
};

// The service's private files, checked by descriptor and never through a
// symbolic link: the state directory (created 0700 when missing), the
// directories of the token and the journal, and the journal's files that
// exist must be owned by this service's user or root and not writable by
// group or others.  Throws std::runtime_error naming the file, its owner and
// mode and what to do.  Call under umask 077.
//
// One link is followed: the state directory systemd makes for a dynamic
// user, /var/lib/NAME -> private/NAME.  It is followed only when the
// directory is manager_state_dir (what STATE_DIRECTORY named; empty outside
// a service manager), the link is root's and points at private/NAME beside
// it, and every directory from / to private/NAME is root's, not a link and
// closed to writes of group and others: a link another user could make or
// change is never followed.  Returns the paths to use from then on: as
// given, or with the link's directory replaced by private/NAME, so that
// nothing goes through the link later (SQLite refuses a journal with a link
// anywhere in its path).
StatePaths CheckPrivateState(const StatePaths& given, const std::string& manager_state_dir = {});

// Reads the token file, or creates it (mode 0600, 32 random bytes in hex)
// when it does not exist, never through a symbolic link.  Throws
// std::runtime_error when it cannot, and when an existing file is not owned
// by this service's user or root or is open to group or others.
std::string LoadOrCreateToken(const std::string& path);

// For the platforms' LoadOrCreateToken: a new token's random bytes, and the
// token in a token file's text (its first line, without trailing blanks);
// throws std::runtime_error when it is shorter than 16 characters.
constexpr std::size_t kTokenBytes = 32;
std::string TokenOfFile(std::string text, const std::string& path);

}  // namespace notavero::service
