// MD5, SHA-1 and SHA-256 of a stream of bytes at once, through libcrypto's
// EVP interface. A build without libcrypto has a Hasher that computes
// nothing: HashingAvailable() says so, and the caller tells the user.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace velmora::content {

bool HashingAvailable();

// Lower-case hexadecimal; empty in a build without libcrypto.
struct Digests {
  std::string md5;
  std::string sha1;
  std::string sha256;
};

class Hasher {
 public:
  Hasher();
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  void Update(std::span<const uint8_t> bytes);
  // The digests of every byte given; the hasher starts over afterwards.
  Digests Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmora::content
