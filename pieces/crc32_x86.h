// CRC-32 (the polynomial of zip and zlib) by carry-less multiplication, for
// x86 processors that have PCLMULQDQ: 64 bytes folded at a time, several
// times zlib's table-driven speed. Used by digest.cpp's CRC-32, which hands
// the rest to zlib. Not for other callers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morcelix::crc32 {

// Whether the processor has PCLMULQDQ (asked once).
bool ProcessorHasPclmul();

// Carries the CRC-32 `crc` (as zlib gives it) on over `size` bytes, a
// multiple of 16 and at least 64. Only where ProcessorHasPclmul().
std::uint32_t UpdatePclmul(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

}  // namespace morcelix::crc32
