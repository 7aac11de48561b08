// MD5, SHA-1, SHA-256 and SHA-512 through Windows CNG (bcrypt.dll, a system library).
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "pieces/digest_backend.h"
#include "pieces/failure.h"

namespace morcelix {

namespace {

void Require(NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        throw Failure(Text::InternalError, {});
    }
}

// The algorithm's provider, opened once for the whole run, and the size of
// its digests.
struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ULONG digestSize = 0;
};

Provider Open(const wchar_t* algorithm) {
    Provider provider;
    Require(BCryptOpenAlgorithmProvider(&provider.handle, algorithm, nullptr, 0));
    ULONG written = 0;
    Require(BCryptGetProperty(provider.handle, BCRYPT_HASH_LENGTH,
                              reinterpret_cast<PUCHAR>(&provider.digestSize),
                              sizeof provider.digestSize, &written, 0));
    return provider;
}

// Each provider is opened the first time it is needed.
const Provider& ProviderOf(DigestKind kind) {
    switch (kind) {
        case DigestKind::Md5: {
            static const Provider md5 = Open(BCRYPT_MD5_ALGORITHM);
            return md5;
        }
        case DigestKind::Sha1: {
            static const Provider sha1 = Open(BCRYPT_SHA1_ALGORITHM);
            return sha1;
        }
        case DigestKind::Sha256: {
            static const Provider sha256 = Open(BCRYPT_SHA256_ALGORITHM);
            return sha256;
        }
        case DigestKind::Sha512: {
            static const Provider sha512 = Open(BCRYPT_SHA512_ALGORITHM);
            return sha512;
        }
        case DigestKind::Crc32:
            break;
    }
    throw Failure(Text::InternalError, {});
}

class CngDigest : public DigestAlgorithm {
  public:
    explicit CngDigest(const Provider& provider) : provider_(provider) {
        // With no buffer given, CNG keeps the hash object itself (Windows 7 and later).
        Require(BCryptCreateHash(provider_.handle, &hash_, nullptr, 0, nullptr, 0, 0));
    }
    CngDigest(const CngDigest& other) : provider_(other.provider_) {
        Require(BCryptDuplicateHash(other.hash_, &hash_, nullptr, 0, 0));
    }
    ~CngDigest() override {
        if (hash_ != nullptr) {
            BCryptDestroyHash(hash_);
        }
    }
    std::unique_ptr<DigestAlgorithm> Copy() const override {
        return std::make_unique<CngDigest>(*this);
    }
    void Update(const void* data, std::size_t size) override {
        auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
        while (size > 0) {
            const auto part = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
            Require(BCryptHashData(hash_, bytes, part, 0));
            bytes += part;
            size -= part;
        }
    }
    std::string Finish() override {
        std::vector<unsigned char> digest(provider_.digestSize);
        Require(BCryptFinishHash(hash_, digest.data(), provider_.digestSize, 0));
        return HexText(digest.data(), digest.size());
    }

  private:
    const Provider& provider_;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace

std::unique_ptr<DigestAlgorithm> SystemDigest(DigestKind kind) {
    return std::make_unique<CngDigest>(ProviderOf(kind));
}

}  // namespace morcelix
