// MD5, SHA-1, SHA-256 and SHA-512 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "pieces/digest_backend.h"
#include "pieces/failure.h"

namespace morcelix {

namespace {

void Require(int result) {
    if (result != 1) {
        throw Failure(Text::InternalError, {});
    }
}

const EVP_MD* AlgorithmOf(DigestKind kind) {
    switch (kind) {
        case DigestKind::Md5:
            return EVP_md5();
        case DigestKind::Sha1:
            return EVP_sha1();
        case DigestKind::Sha256:
            return EVP_sha256();
        case DigestKind::Sha512:
            return EVP_sha512();
        case DigestKind::Crc32:
            break;
    }
    throw Failure(Text::InternalError, {});
}

class EvpDigest : public DigestAlgorithm {
  public:
    explicit EvpDigest(const EVP_MD* algorithm) {
        Require(context_ ? EVP_DigestInit_ex(context_.get(), algorithm, nullptr) : 0);
    }
    EvpDigest(const EvpDigest& other) {
        Require(context_ ? EVP_MD_CTX_copy_ex(context_.get(), other.context_.get()) : 0);
    }
    std::unique_ptr<DigestAlgorithm> Copy() const override {
        return std::make_unique<EvpDigest>(*this);
    }
    void Update(const void* data, std::size_t size) override {
        Require(EVP_DigestUpdate(context_.get(), data, size));
    }
    std::string Finish() override {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        Require(EVP_DigestFinal_ex(context_.get(), digest, &size));
        return HexText(digest, size);
    }

  private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

}  // namespace

std::unique_ptr<DigestAlgorithm> SystemDigest(DigestKind kind) {
    return std::make_unique<EvpDigest>(AlgorithmOf(kind));
}

}  // namespace morcelix
