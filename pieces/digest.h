// Digests of data, every one computed by a library: MD5, SHA-1, SHA-256 and
// SHA-512 by the platform's own implementation (CNG on Windows, OpenSSL's
// libcrypto elsewhere: digest_win.cpp, digest_openssl.cpp), CRC-32 by zlib (its
// 16-byte blocks folded by carry-less multiplication where the processor
// has it: crc32_x86.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace morcelix {

enum class DigestKind { Md5, Sha1, Sha256, Sha512, Crc32 };

// The algorithm's name as people write it: "MD5", "SHA-1", "SHA-256",
// "SHA-512", "CRC-32".
std::string_view DigestName(DigestKind kind);

// The number of hexadecimal digits of the algorithm's digests.
std::size_t HexDigestLength(DigestKind kind);

class DigestAlgorithm;

class Digest {
  public:
    // Raises Failure(Text::InternalError) when the platform offers no such algorithm.
    explicit Digest(DigestKind kind);
    ~Digest();
    // A copy carries on from the same bytes, apart from the original.
    Digest(const Digest& other);
    Digest& operator=(Digest&& other) noexcept;

    DigestKind Kind() const { return kind_; }
    void Update(const void* data, std::size_t size);
    // The digest of every byte given, as lowercase hexadecimal digits
    // (HexDigestLength; a CRC-32 as its value, most significant digit first).
    // It ends the computation: nothing may be given afterwards.
    std::string HexDigest();

  private:
    DigestKind kind_;
    std::unique_ptr<DigestAlgorithm> algorithm_;
};

// The digest of a set's own manifest.
class Sha256 : public Digest {
  public:
    Sha256() : Digest(DigestKind::Sha256) {}
};

// `digest` as lowercase hexadecimal digits.
std::string HexText(const unsigned char* digest, std::size_t size);

}  // namespace morcelix
