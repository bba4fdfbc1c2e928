#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <stdexcept>

#include "service/digest.h"

namespace notavero::service {

Sha256Digest Sha256(std::string_view data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != Sha256Digest().size()) {
    throw std::runtime_error("SHA-256 is not available");
  }
  Sha256Digest result{};
  std::copy(digest.begin(), digest.begin() + result.size(), result.begin());
  return result;
}

void RandomBytes(unsigned char* data, std::size_t size) {
  if (size > INT_MAX || RAND_bytes(data, static_cast<int>(size)) != 1) {
    throw std::runtime_error("no random bytes from the system");
  }
}

}  // namespace notavero::service
