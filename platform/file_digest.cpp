#include "platform/file_digest.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace larkspan {

std::optional<std::string> Sha256OfDescriptor(int fd) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (fd < 0 || !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  std::vector<unsigned char> block(64 * 1024);
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, block.data(), block.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(got)) != 1) return std::nullopt;
    at += got;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return std::nullopt;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) hex += {kDigits[digest[i] >> 4], kDigits[digest[i] & 15]};
  return hex;
}

std::optional<std::string> Sha256OfFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  auto digest = Sha256OfDescriptor(fd);
  ::close(fd);
  return digest;
}

}  // namespace larkspan
