// What the service needs from the system beyond Asio and SQLite: files made
// durable, the host's name, the default state directory and the descriptors
// the process may hold.  One file for each system: platform_posix.cpp,
// platform_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace notavero::service {

// This machine's name, or "kiosk" when the system has none to give.
std::string HostName();

// Where the state lives when neither --state-dir nor a service manager
// names a directory: /var/lib/notavero-serve, %ProgramData%\notavero-serve.
std::string DefaultStateDir();

// name in the directory dir, with the system's separator.
std::string JoinPath(const std::string& dir, const std::string& name);

// Makes what was written to fd durable (fsync); 0 on success, else -1 with
// errno set.
int SyncFile(int fd);

// Syncs the directory that holds path with sync, so that a file made or
// renamed in it stays.  Nothing where the file system keeps names durable
// by itself.
void SyncDirectoryOf(const std::string& path, int (*sync)(int fd));

// Opens path to append, creating it private to the service; never through a
// symbolic link.  -1 with errno set when it cannot.
int OpenForAppend(const std::string& path);

// How many descriptors (sockets included) the process may hold.
std::size_t OpenFilesLimit();

// A descriptor held in reserve for the moment the process runs out of them
// (-1 where none is needed), and its release.
int OpenReserveDescriptor();
void CloseReserveDescriptor(int fd);

// Takes the connection at the head of a listening socket's queue and closes
// it at once, with a descriptor freed for that moment.
void AcceptAndClose(std::uintptr_t listening);

}  // namespace notavero::service
