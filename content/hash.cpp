#include "content/hash.h"

#include <array>

#ifdef VELMORA_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#endif

namespace velmora::content {

#ifdef VELMORA_HAVE_LIBCRYPTO

namespace {

std::string Hex(const unsigned char* bytes, unsigned count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(count * 2, '0');
  for (unsigned i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace

bool HashingAvailable() { return true; }

// One context per digest, in the order of Digests' fields.
struct Hasher::State {
  std::array<const EVP_MD*, 3> kinds = {EVP_md5(), EVP_sha1(), EVP_sha256()};
  std::array<EVP_MD_CTX*, 3> contexts{};

  State() {
    for (size_t i = 0; i < contexts.size(); ++i) {
      contexts[i] = EVP_MD_CTX_new();
      EVP_DigestInit_ex(contexts[i], kinds[i], nullptr);
    }
  }
  ~State() {
    for (EVP_MD_CTX* context : contexts) EVP_MD_CTX_free(context);
  }
};

Hasher::Hasher() : state_(std::make_unique<State>()) {}
Hasher::~Hasher() = default;

void Hasher::Update(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  for (EVP_MD_CTX* context : state_->contexts) EVP_DigestUpdate(context, bytes.data(), bytes.size());
}

Digests Hasher::Finish() {
  std::array<std::string, 3> hex;
  for (size_t i = 0; i < hex.size(); ++i) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned count = 0;
    EVP_DigestFinal_ex(state_->contexts[i], digest, &count);
    hex[i] = Hex(digest, count);
    EVP_DigestInit_ex(state_->contexts[i], state_->kinds[i], nullptr);
  }
  return Digests{hex[0], hex[1], hex[2]};
}

#else

bool HashingAvailable() { return false; }
struct Hasher::State {};
Hasher::Hasher() : state_(std::make_unique<State>()) {}
Hasher::~Hasher() = default;
void Hasher::Update(std::span<const uint8_t>) {}
Digests Hasher::Finish() { return {}; }

#endif

}  // namespace velmora::content
