// What the region operations of gf16.cpp share with the processor-specific
// kernels (gf16_kernels_x86.cpp). Not for other callers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morcelix::gf16 {

// The products of one constant with every value of each nibble of a word:
// for nibble k (bits 4k to 4k+3) and value v, the low byte of c * (v << 4k)
// in low[k][v] and its high byte in high[k][v]. The lookups of the shuffle
// kernels: a word's product is the XOR of its four nibbles' products.
struct NibbleTables {
    std::uint8_t low[4][16];
    std::uint8_t high[4][16];
};
void MakeNibbleTables(std::uint16_t constant, NibbleTables& tables);

// What the processor runs, asked once (the system's support of the wide
// registers included).
bool ProcessorHasSsse3();
bool ProcessorHasAvx2();
bool ProcessorHasAvx512();  // AVX-512 F and BW

// Each kernel does the longest head of the region that is a whole number of
// its blocks (32 bytes for SSSE3, 64 for AVX2, 128 for AVX-512) and returns how many bytes it
// did; the caller does the rest. Unaligned regions are fine.
std::size_t MultiplyAddSsse3(const NibbleTables& tables, const std::uint8_t* in, std::uint8_t* out,
                             std::size_t bytes);
std::size_t MultiplyAddAvx2(const NibbleTables& tables, const std::uint8_t* in, std::uint8_t* out,
                            std::size_t bytes);
std::size_t MultiplyAddAvx512(const NibbleTables& tables, const std::uint8_t* in, std::uint8_t* out,
                              std::size_t bytes);
// out ^= in over the longest head that is a whole number of 16-byte (SSE2,
// which the program requires) or 64-byte (AVX2) blocks.
std::size_t AddSse2(const std::uint8_t* in, std::uint8_t* out, std::size_t bytes);
std::size_t AddAvx2(const std::uint8_t* in, std::uint8_t* out, std::size_t bytes);

}  // namespace morcelix::gf16
