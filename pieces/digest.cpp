#include "pieces/digest.h"

#include <zlib.h>

#include <algorithm>

#include "pieces/crc32_x86.h"
#include "pieces/digest_backend.h"

namespace morcelix {

namespace {

// CRC-32 through zlib (the polynomial of zip, PNG and the checksum files),
// the longest run of 16-byte blocks folded by carry-less multiplication
// where the processor has it (crc32_x86.h).
class Crc32 : public DigestAlgorithm {
  public:
    std::unique_ptr<DigestAlgorithm> Copy() const override {
        return std::make_unique<Crc32>(*this);
    }
    void Update(const void* data, std::size_t size) override {
        static const bool folding = crc32::ProcessorHasPclmul();
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        if (folding && size >= 64) {
            const std::size_t folded = size & ~std::size_t{15};
            value_ = crc32::UpdatePclmul(static_cast<std::uint32_t>(value_), bytes, folded);
            bytes += folded;
            size -= folded;
        }
        value_ = crc32_z(value_, bytes, size);
    }
    std::string Finish() override {
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(value_ >> 24), static_cast<unsigned char>(value_ >> 16),
            static_cast<unsigned char>(value_ >> 8), static_cast<unsigned char>(value_)};
        return HexText(bytes, sizeof bytes);
    }

  private:
    uLong value_ = crc32_z(0, Z_NULL, 0);
};

struct KindFacts {
    DigestKind kind;
    std::string_view name;
    std::size_t hexLength;
};

constexpr KindFacts kKinds[] = {
    {DigestKind::Md5, "MD5", 32},        {DigestKind::Sha1, "SHA-1", 40},
    {DigestKind::Sha256, "SHA-256", 64}, {DigestKind::Sha512, "SHA-512", 128},
    {DigestKind::Crc32, "CRC-32", 8},
};

const KindFacts& FactsOf(DigestKind kind) {
    return *std::find_if(std::begin(kKinds), std::end(kKinds),
                         [kind](const KindFacts& facts) { return facts.kind == kind; });
}

}  // namespace

std::string_view DigestName(DigestKind kind) {
    return FactsOf(kind).name;
}

std::size_t HexDigestLength(DigestKind kind) {
    return FactsOf(kind).hexLength;
}

Digest::Digest(DigestKind kind)
    : kind_(kind),
      algorithm_(kind == DigestKind::Crc32 ? std::make_unique<Crc32>() : SystemDigest(kind)) {}

Digest::~Digest() = default;

Digest::Digest(const Digest& other) : kind_(other.kind_), algorithm_(other.algorithm_->Copy()) {}

Digest& Digest::operator=(Digest&& other) noexcept = default;

void Digest::Update(const void* data, std::size_t size) {
    algorithm_->Update(data, size);
}

std::string Digest::HexDigest() {
    return algorithm_->Finish();
}

std::string HexText(const unsigned char* digest, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}

}  // namespace morcelix
