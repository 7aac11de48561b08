// SHA-256 through Windows CNG (bcrypt.dll, a system library).
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

#include "pieces/failure.h"
#include "pieces/sha256.h"

namespace morcelix {

namespace {

constexpr ULONG kDigestSize = 32;

void Require(NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        throw Failure(Text::InternalError, {});
    }
}

// The algorithm provider, opened once for the whole run.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        Require(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
        return opened;
    }();
    return provider;
}

}  // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    // With no buffer given, CNG keeps the hash object itself (Windows 7 and later).
    Require(BCryptCreateHash(Provider(), &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() = default;

Sha256::Sha256(const Sha256& other) : state_(std::make_unique<State>()) {
    Require(BCryptDuplicateHash(other.state_->hash, &state_->hash, nullptr, 0, 0));
}

Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

void Sha256::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0) {
        const auto part = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        Require(BCryptHashData(state_->hash, bytes, part, 0));
        bytes += part;
        size -= part;
    }
}

std::string Sha256::HexDigest() {
    unsigned char digest[kDigestSize];
    Require(BCryptFinishHash(state_->hash, digest, kDigestSize, 0));
    return HexText(digest, kDigestSize);
}

}  // namespace morcelix
