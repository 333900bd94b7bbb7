#include "platform/file_digest.h"

#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <vector>

namespace larkspan {

std::optional<std::string> Sha256OfFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!in || !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  std::vector<char> block(64 * 1024);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    if (in.gcount() > 0 && EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(in.gcount())) != 1) {
      return std::nullopt;
    }
  }
  if (in.bad()) return std::nullopt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return std::nullopt;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) hex += {kDigits[digest[i] >> 4], kDigits[digest[i] & 15]};
  return hex;
}

}  // namespace larkspan
