// The service's system helpers on Windows (built with WIN32_LEAN_AND_MEAN:
// windows.h does not bring the old winsock.h, so winsock2.h may follow it).
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <windows.h>
#include <winsock2.h>

#include <cerrno>
#include <string>

#include "service/platform.h"
#include "service/text_win32.h"

namespace notavero::service {

namespace {

int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    default:
      return EIO;
  }
}

}  // namespace

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) && size > 0 ? Utf8(std::wstring(name, size)) : "kiosk";
}

std::string DefaultStateDir() {
  // The known folder, not the environment: a service's environment may
  // name another (Wine's names C:\users\Public).
  wchar_t* data = nullptr;
  std::string base = "C:\\ProgramData";
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &data))) {
    base = Utf8(data);
  }
  CoTaskMemFree(data);
  return base + "\\notavero-serve";
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir + "\\" + name;
}

int SyncFile(int fd) {
  return ::_commit(fd);
}

// NTFS keeps a new file's name durable with its metadata; there is no
// directory to flush through the C runtime.
void SyncDirectoryOf(const std::string& /*path*/, int (* /*sync*/)(int fd)) {}

int OpenForAppend(const std::string& path) {
  // The file takes the state directory's access list, which lets only the
  // service's account, SYSTEM and the administrators in.
  HANDLE handle = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    CloseHandle(handle);
    errno = ELOOP;  // a link (or a directory) where the file should be: not followed
    return -1;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_APPEND | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
  }
  return fd;
}

// Sockets are kernel handles, not C runtime descriptors: no small limit.
std::size_t OpenFilesLimit() {
  return std::size_t{1} << 20;
}

int OpenReserveDescriptor() {
  return -1;
}

void CloseReserveDescriptor(int /*fd*/) {}

void AcceptAndClose(std::uintptr_t listening) {
  const SOCKET socket = ::accept(static_cast<SOCKET>(listening), nullptr, nullptr);
  if (socket != INVALID_SOCKET) {
    ::closesocket(socket);
  }
}

}  // namespace notavero::service
