// SHA-256 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "pieces/failure.h"
#include "pieces/sha256.h"

namespace morcelix {

struct Sha256::State {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1) {
        throw Failure(Text::InternalError, {});
    }
}

Sha256::~Sha256() = default;

Sha256::Sha256(const Sha256& other) : state_(std::make_unique<State>()) {
    if (!state_->context ||
        EVP_MD_CTX_copy_ex(state_->context.get(), other.state_->context.get()) != 1) {
        throw Failure(Text::InternalError, {});
    }
}

Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

void Sha256::Update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(state_->context.get(), data, size) != 1) {
        throw Failure(Text::InternalError, {});
    }
}

std::string Sha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest, &size) != 1) {
        throw Failure(Text::InternalError, {});
    }
    return HexText(digest, size);
}

}  // namespace morcelix
