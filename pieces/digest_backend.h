// What each platform's backend of the digests provides to their portable part
// (digest.cpp): the algorithms of the system's cryptography.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "pieces/digest.h"

namespace morcelix {

// One computation of one algorithm.
class DigestAlgorithm {
  public:
    virtual ~DigestAlgorithm() = default;
    // Another computation that carries on from the same bytes.
    virtual std::unique_ptr<DigestAlgorithm> Copy() const = 0;
    virtual void Update(const void* data, std::size_t size) = 0;
    // The digest as lowercase hexadecimal digits; nothing may be given afterwards.
    virtual std::string Finish() = 0;
};

// MD5, SHA-1, SHA-256 or SHA-512 (not CRC-32) from the system's cryptography.
// Raises Failure(Text::InternalError) when the platform offers none.
std::unique_ptr<DigestAlgorithm> SystemDigest(DigestKind kind);

}  // namespace morcelix
