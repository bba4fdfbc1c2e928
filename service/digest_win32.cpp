#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>

#include <climits>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "service/digest.h"

namespace notavero::service {

namespace {

bool Succeeded(NTSTATUS status) {
  return status >= 0;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

// The provider is opened once and kept: a handle to it may be shared by
// threads, each hash object is the caller's own.
BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!Succeeded(status)) {
      throw std::runtime_error(
          "SHA-256 is not available (BCryptOpenAlgorithmProvider: " + StatusText(status) + ")");
    }
    return handle;
  }();
  return provider;
}

}  // namespace

Sha256Digest Sha256(std::string_view data) {
  if (data.size() > ULONG_MAX) {
    throw std::runtime_error("SHA-256: the data is too long for one call");
  }
  Sha256Digest digest{};
  BCRYPT_HASH_HANDLE hash = nullptr;
  NTSTATUS status = BCryptCreateHash(Provider(), &hash, nullptr, 0, nullptr, 0, 0);
  if (Succeeded(status)) {
    // BCryptHashData only reads its input.
    status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                            static_cast<ULONG>(data.size()), 0);
  }
  if (Succeeded(status)) {
    status = BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  }
  if (hash != nullptr) {
    BCryptDestroyHash(hash);
  }
  if (!Succeeded(status)) {
    throw std::runtime_error("SHA-256 is not available (BCrypt: " + StatusText(status) + ")");
  }
  return digest;
}

void RandomBytes(unsigned char* data, std::size_t size) {
  const NTSTATUS status = size > ULONG_MAX ? static_cast<NTSTATUS>(0xC000000DL)  // STATUS_INVALID_PARAMETER
                                           : BCryptGenRandom(nullptr, data, static_cast<ULONG>(size),
                                                             BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (!Succeeded(status)) {
    throw std::runtime_error("no random bytes from the system (BCryptGenRandom: " + StatusText(status) + ")");
  }
}

}  // namespace notavero::service
