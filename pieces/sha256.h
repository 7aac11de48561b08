// SHA-256 digests, computed by the platform's own implementation: CNG on
// Windows, OpenSSL's libcrypto elsewhere (sha256_win.cpp, sha256_openssl.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace morcelix {

class Sha256 {
  public:
    // Raises Failure(Text::InternalError) when the platform offers no SHA-256.
    Sha256();
    ~Sha256();
    // A copy carries on from the same bytes, apart from the original.
    Sha256(const Sha256& other);
    Sha256& operator=(Sha256&& other) noexcept;

    void Update(const void* data, std::size_t size);
    // The digest of every byte given, as 64 lowercase hexadecimal digits. It
    // ends the computation: nothing may be given afterwards.
    std::string HexDigest();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// `digest` as lowercase hexadecimal digits.
std::string HexText(const unsigned char* digest, std::size_t size);

}  // namespace morcelix
