// The service's private files on Windows: the state directory is made with
// an access list of its own (the service's account, SYSTEM and the
// Administrators, nobody else; its files inherit it), and the directory,
// the token and the journal's files are checked as on Linux: their owner
// must be one of those accounts and no other account may write them (nor,
// the token, read it).  Nothing is opened through a link (a reparse point:
// symbolic link or junction).
#include <windows.h>
// These need windows.h first.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/system_message.h"
#include "service/digest.h"
#include "service/security.h"
#include "service/text_win32.h"

namespace notavero::service {

namespace {

std::string SystemError(const std::string& what, const std::string& path, DWORD code) {
  return what + " " + path + ": " + SystemMessage(code) + " (error " + std::to_string(code) + ")";
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) {
      CloseHandle(handle_);
    }
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  [[nodiscard]] HANDLE get() const { return handle_; }
  [[nodiscard]] bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

 private:
  HANDLE handle_;
};

struct LocalDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalDeleter>;

// The accounts the state may belong to: the one the service runs as,
// SYSTEM and the Administrators group.
class Trusted {
 public:
  Trusted() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      throw std::runtime_error("cannot read this process's account: " + SystemMessage(GetLastError()));
    }
    const Handle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user_.data(), size, &size)) {
      throw std::runtime_error("cannot read this process's account: " + SystemMessage(GetLastError()));
    }
    for (auto [kind, sid] :
         {std::pair{WinLocalSystemSid, &system_}, std::pair{WinBuiltinAdministratorsSid, &admins_}}) {
      DWORD sid_size = SECURITY_MAX_SID_SIZE;
      sid->resize(sid_size);
      if (!CreateWellKnownSid(kind, nullptr, sid->data(), &sid_size)) {
        throw std::runtime_error("cannot name the system's accounts: " + SystemMessage(GetLastError()));
      }
    }
  }

  [[nodiscard]] PSID User() const { return reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid; }

  [[nodiscard]] bool Has(PSID sid) const {
    return EqualSid(sid, User()) || EqualSid(sid, const_cast<BYTE*>(system_.data())) ||
           EqualSid(sid, const_cast<BYTE*>(admins_.data()));
  }

  // The access list of a private directory (inherited by what is made in
  // it) or file: these three accounts, full control, nothing inherited
  // from above.
  [[nodiscard]] std::wstring Descriptor(bool directory) const {
    const std::wstring user = SidText(User());
    const std::wstring inherit = directory ? L"OICI" : L"";
    return L"O:" + user + L"D:P(A;" + inherit + L";FA;;;" + user + L")(A;" + inherit + L";FA;;;SY)(A;" +
           inherit + L";FA;;;BA)";
  }

  static std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
      return L"?";
    }
    const LocalMemory owned(text);
    return text;
  }

 private:
  std::vector<BYTE> user_;
  std::vector<BYTE> system_;
  std::vector<BYTE> admins_;
};

// "KIOSK\\operator (S-1-5-21-...)": the name when the system knows it.
std::string AccountText(PSID sid) {
  std::array<wchar_t, 256> name{};
  std::array<wchar_t, 256> domain{};
  DWORD name_size = name.size();
  DWORD domain_size = domain.size();
  SID_NAME_USE use{};
  std::string text;
  if (LookupAccountSidW(nullptr, sid, name.data(), &name_size, domain.data(), &domain_size, &use)) {
    text = (domain[0] != L'\0' ? Utf8(std::wstring(domain.data())) + "\\" : std::string()) +
           Utf8(std::wstring(name.data())) + " ";
  }
  return text + "(" + Utf8(Trusted::SidText(sid)) + ")";
}

std::string RightsText(ACCESS_MASK mask) {
  std::string text;
  const auto add = [&](ACCESS_MASK bits, const char* name) {
    if ((mask & bits) != 0) {
      text += (text.empty() ? "" : ", ") + std::string(name);
    }
  };
  add(GENERIC_ALL, "full control");
  add(GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA, "write");
  add(FILE_DELETE_CHILD | DELETE, "delete");
  add(WRITE_DAC | WRITE_OWNER, "change its permissions");
  add(FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES, "write attributes");
  add(GENERIC_READ | FILE_READ_DATA | FILE_READ_EA, "read");
  return text;
}

constexpr ACCESS_MASK kWriteRights = GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                     FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                     WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK kReadRights = GENERIC_READ | FILE_READ_DATA | FILE_READ_EA;

// Opens path for its attributes and access list, never through a link:
// an invalid handle with the error when it cannot.
HANDLE OpenNoFollow(const std::string& path, DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES) {
  return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

bool Missing(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Refuses what the handle shows: a link, the wrong file type, an owner
// that is not trusted, an access list that lets another account write (or,
// with private_read, read).
void CheckOwnedAndPrivate(HANDLE handle, const Trusted& trusted, const std::string& what,
                          const std::string& path, bool directory, bool private_read) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) {
    throw std::runtime_error(SystemError("cannot examine " + what, path, GetLastError()));
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    throw std::runtime_error(what + " " + path +
                             " is a link (a symbolic link or junction): the service does not follow links to "
                             "its private files; put the real " +
                             (directory ? "directory" : "file") + " there");
  }
  const bool is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read =
      GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, &descriptor);
  if (read != ERROR_SUCCESS) {
    throw std::runtime_error(SystemError("cannot read the access list of " + what, path, read));
  }
  const LocalMemory owned(descriptor);
  std::string problem;
  if (is_directory != directory) {
    problem = directory ? "not a directory" : "not a regular file";
  } else if (owner == nullptr || !trusted.Has(owner)) {
    problem = "owned by " + (owner != nullptr ? AccountText(owner) : std::string("nobody"));
  } else if (dacl == nullptr) {
    problem = "without an access list (every account may write it)";
  } else {
    const ACCESS_MASK forbidden = kWriteRights | (private_read ? kReadRights : 0);
    for (DWORD i = 0; i < dacl->AceCount && problem.empty(); ++i) {
      void* entry = nullptr;
      if (!GetAce(dacl, i, &entry)) {
        continue;
      }
      const auto* header = static_cast<const ACE_HEADER*>(entry);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
        continue;  // a deny, or an entry only for what is made inside
      }
      const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
      PSID sid = const_cast<DWORD*>(&allowed->SidStart);
      if (!trusted.Has(sid) && (allowed->Mask & forbidden) != 0) {
        problem = "open to " + AccountText(sid) + " (" + RightsText(allowed->Mask & forbidden) + ")";
      }
    }
  }
  if (problem.empty()) {
    return;
  }
  throw std::runtime_error(
      what + " " + path + " is " + problem + ": it must be " +
      (directory ? "a directory" : "a regular file") + " owned by this service's account, " +
      AccountText(trusted.User()) + ", SYSTEM or the Administrators, with no access for other accounts" +
      (private_read ? "" : " to write") +
      "; someone else may have put it there to forge money or tokens: remove it (the service creates what is "
      "missing, private) or, if it is yours, take its ownership and give it an access list of these accounts "
      "only");
}

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "." : slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string Normal(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// Makes path a directory private to the trusted accounts; true when it was
// made, false when something was there already; throws when it cannot.
bool MakePrivateDirectory(const std::string& what, const std::string& path, const Trusted& trusted) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(trusted.Descriptor(true).c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    throw std::runtime_error(SystemError("cannot make the access list of " + what, path, GetLastError()));
  }
  const LocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (CreateDirectoryW(Wide(path).c_str(), &attributes)) {
    return true;
  }
  DWORD code = GetLastError();
  if (code == ERROR_PATH_NOT_FOUND) {
    // Missing parents are made as mkdir -p makes them; only the state
    // directory itself needs the private list.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(Wide(ParentOf(path))), ignored);
    if (CreateDirectoryW(Wide(path).c_str(), &attributes)) {
      return true;
    }
    code = GetLastError();
  }
  if (code == ERROR_ALREADY_EXISTS) {
    return false;
  }
  throw std::runtime_error(SystemError("cannot create " + what, path, code));
}

void CheckDirectory(const std::string& what, const std::string& path, bool create, const Trusted& trusted) {
  if (create) {
    MakePrivateDirectory(what, path, trusted);
  }
  const Handle dir(OpenNoFollow(path));
  if (!dir.valid()) {
    throw std::runtime_error(SystemError("cannot open " + what, path, GetLastError()));
  }
  CheckOwnedAndPrivate(dir.get(), trusted, what, path, true, false);
}

}  // namespace

StatePaths CheckPrivateState(const StatePaths& given, const std::string& /*manager_state_dir*/) {
  const Trusted trusted;
  StatePaths state = given;
  CheckDirectory("the state directory", state.dir, true, trusted);
  for (const std::string& other : {ParentOf(state.token_file), ParentOf(state.journal)}) {
    if (Normal(other) != Normal(state.dir)) {
      CheckDirectory("the directory", other, false, trusted);
    }
  }
  // The journal and the files SQLite keeps beside it; those missing are
  // made later and inherit the directory's list.
  const std::string& journal = state.journal;
  for (const std::string& path :
       {journal, journal + "-wal", journal + "-shm", journal + "-journal", journal + ".pending"}) {
    const Handle file(OpenNoFollow(path));
    if (!file.valid()) {
      const DWORD code = GetLastError();
      if (Missing(code)) {
        continue;
      }
      throw std::runtime_error(SystemError("cannot open the journal file", path, code));
    }
    CheckOwnedAndPrivate(file.get(), trusted, "the journal file", path, false, false);
  }
  return state;
}

std::string LoadOrCreateToken(const std::string& path) {
  const Trusted trusted;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(trusted.Descriptor(false).c_str(),
                                                            SDDL_REVISION_1, &descriptor, nullptr)) {
    throw std::runtime_error(
        SystemError("cannot make the access list of the token file", path, GetLastError()));
  }
  const LocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  {
    const Handle created(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (created.valid()) {
      std::string token = RandomHex(kTokenBytes);
      const std::string line = token + "\n";
      DWORD written = 0;
      const bool ok =
          WriteFile(created.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
          written == line.size() && FlushFileBuffers(created.get());
      if (!ok) {
        const std::string error = SystemError("cannot write", path, GetLastError());
        DeleteFileW(Wide(path).c_str());
        throw std::runtime_error(error);
      }
      return token;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) {
      throw std::runtime_error(SystemError("cannot create the token file", path, GetLastError()));
    }
  }
  const Handle existing(OpenNoFollow(path, READ_CONTROL | FILE_READ_ATTRIBUTES | GENERIC_READ));
  if (!existing.valid()) {
    throw std::runtime_error(SystemError("cannot read the token file", path, GetLastError()));
  }
  CheckOwnedAndPrivate(existing.get(), trusted, "the token file", path, false, true);
  std::array<char, 512> text{};
  DWORD got = 0;
  if (!ReadFile(existing.get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) {
    throw std::runtime_error(SystemError("cannot read the token file", path, GetLastError()));
  }
  return TokenOfFile(std::string(text.data(), got), path);
}

}  // namespace notavero::service
