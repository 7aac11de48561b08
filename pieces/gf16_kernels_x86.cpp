// The shuffle kernels of the region multiply-add, for x86 processors. Each is
// compiled for its instruction set through a target attribute, not the
// build's flags, and runs only once gf16.cpp has asked the processor.
//
// A block of 16-bit words is first split into a vector of their low bytes and
// one of their high bytes (PACKUSWB); each byte's two nibbles index 16-byte
// tables (PSHUFB), whose XOR gives the low and the high bytes of the
// products; interleaving those (PUNPCKL/HBW) puts the words back in place.
// PACKUSWB and PUNPCK work within each 128-bit lane, and one undoes the
// other, so the AVX2 and AVX-512 kernels need no lane crossing.
//
// Every load is unaligned and the 64-bit kernels keep their tables in
// registers, spilling nothing: GCC does not realign the stack for a 32-byte
// slot on 64-bit Windows, nor does a 32-bit Windows stack promise 16 bytes.
#include <immintrin.h>

#include <cstring>

#include "pieces/gf16_kernels.h"

namespace morcelix::gf16 {

bool ProcessorHasSsse3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}

bool ProcessorHasAvx2() {
    __builtin_cpu_init();
    // Also tells whether the system saves the 256-bit registers (XCR0).
    return __builtin_cpu_supports("avx2");
}

bool ProcessorHasAvx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

__attribute__((target("ssse3"))) std::size_t MultiplyAddSsse3(const NibbleTables& tables,
                                                              const std::uint8_t* in,
                                                              std::uint8_t* out,
                                                              std::size_t bytes) {
    const __m128i* low = reinterpret_cast<const __m128i*>(tables.low);
    const __m128i* high = reinterpret_cast<const __m128i*>(tables.high);
    const __m128i l0 = _mm_loadu_si128(low), l1 = _mm_loadu_si128(low + 1);
    const __m128i l2 = _mm_loadu_si128(low + 2), l3 = _mm_loadu_si128(low + 3);
    const __m128i h0 = _mm_loadu_si128(high), h1 = _mm_loadu_si128(high + 1);
    const __m128i h2 = _mm_loadu_si128(high + 2), h3 = _mm_loadu_si128(high + 3);
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const std::size_t done = bytes & ~std::size_t{31};
    for (std::size_t i = 0; i < done; i += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 16));
        const __m128i lo = _mm_packus_epi16(_mm_and_si128(a, lowBytes), _mm_and_si128(b, lowBytes));
        const __m128i hi = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
        const __m128i n0 = _mm_and_si128(lo, nibble);
        const __m128i n1 = _mm_and_si128(_mm_srli_epi16(lo, 4), nibble);
        const __m128i n2 = _mm_and_si128(hi, nibble);
        const __m128i n3 = _mm_and_si128(_mm_srli_epi16(hi, 4), nibble);
        const __m128i pl =
            _mm_xor_si128(_mm_xor_si128(_mm_shuffle_epi8(l0, n0), _mm_shuffle_epi8(l1, n1)),
                          _mm_xor_si128(_mm_shuffle_epi8(l2, n2), _mm_shuffle_epi8(l3, n3)));
        const __m128i ph =
            _mm_xor_si128(_mm_xor_si128(_mm_shuffle_epi8(h0, n0), _mm_shuffle_epi8(h1, n1)),
                          _mm_xor_si128(_mm_shuffle_epi8(h2, n2), _mm_shuffle_epi8(h3, n3)));
        __m128i* target = reinterpret_cast<__m128i*>(out + i);
        _mm_storeu_si128(target, _mm_xor_si128(_mm_loadu_si128(target), _mm_unpacklo_epi8(pl, ph)));
        _mm_storeu_si128(target + 1,
                         _mm_xor_si128(_mm_loadu_si128(target + 1), _mm_unpackhi_epi8(pl, ph)));
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t MultiplyAddAvx2(const NibbleTables& tables,
                                                            const std::uint8_t* in,
                                                            std::uint8_t* out, std::size_t bytes) {
    const __m128i* low = reinterpret_cast<const __m128i*>(tables.low);
    const __m128i* high = reinterpret_cast<const __m128i*>(tables.high);
    const __m256i l0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(low));
    const __m256i l1 = _mm256_broadcastsi128_si256(_mm_loadu_si128(low + 1));
    const __m256i l2 = _mm256_broadcastsi128_si256(_mm_loadu_si128(low + 2));
    const __m256i l3 = _mm256_broadcastsi128_si256(_mm_loadu_si128(low + 3));
    const __m256i h0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(high));
    const __m256i h1 = _mm256_broadcastsi128_si256(_mm_loadu_si128(high + 1));
    const __m256i h2 = _mm256_broadcastsi128_si256(_mm_loadu_si128(high + 2));
    const __m256i h3 = _mm256_broadcastsi128_si256(_mm_loadu_si128(high + 3));
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const std::size_t done = bytes & ~std::size_t{63};
    for (std::size_t i = 0; i < done; i += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
        const __m256i lo =
            _mm256_packus_epi16(_mm256_and_si256(a, lowBytes), _mm256_and_si256(b, lowBytes));
        const __m256i hi = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
        const __m256i n0 = _mm256_and_si256(lo, nibble);
        const __m256i n1 = _mm256_and_si256(_mm256_srli_epi16(lo, 4), nibble);
        const __m256i n2 = _mm256_and_si256(hi, nibble);
        const __m256i n3 = _mm256_and_si256(_mm256_srli_epi16(hi, 4), nibble);
        const __m256i pl = _mm256_xor_si256(
            _mm256_xor_si256(_mm256_shuffle_epi8(l0, n0), _mm256_shuffle_epi8(l1, n1)),
            _mm256_xor_si256(_mm256_shuffle_epi8(l2, n2), _mm256_shuffle_epi8(l3, n3)));
        const __m256i ph = _mm256_xor_si256(
            _mm256_xor_si256(_mm256_shuffle_epi8(h0, n0), _mm256_shuffle_epi8(h1, n1)),
            _mm256_xor_si256(_mm256_shuffle_epi8(h2, n2), _mm256_shuffle_epi8(h3, n3)));
        __m256i* target = reinterpret_cast<__m256i*>(out + i);
        _mm256_storeu_si256(
            target, _mm256_xor_si256(_mm256_loadu_si256(target), _mm256_unpacklo_epi8(pl, ph)));
        _mm256_storeu_si256(target + 1, _mm256_xor_si256(_mm256_loadu_si256(target + 1),
                                                         _mm256_unpackhi_epi8(pl, ph)));
    }
    return done;
}

__attribute__((target("avx512f,avx512bw"))) std::size_t MultiplyAddAvx512(
    const NibbleTables& tables, const std::uint8_t* in, std::uint8_t* out, std::size_t bytes) {
    // Each table in every lane, laid out in memory (GCC 12's broadcast
    // intrinsic warns of an undefined operand).
    std::uint8_t wide[8][64];
    for (int t = 0; t < 8; ++t) {
        for (int lane = 0; lane < 4; ++lane) {
            std::memcpy(wide[t] + 16 * lane, t < 4 ? tables.low[t] : tables.high[t - 4], 16);
        }
    }
    const __m512i l0 = _mm512_loadu_si512(wide[0]), l1 = _mm512_loadu_si512(wide[1]);
    const __m512i l2 = _mm512_loadu_si512(wide[2]), l3 = _mm512_loadu_si512(wide[3]);
    const __m512i h0 = _mm512_loadu_si512(wide[4]), h1 = _mm512_loadu_si512(wide[5]);
    const __m512i h2 = _mm512_loadu_si512(wide[6]), h3 = _mm512_loadu_si512(wide[7]);
    const __m512i lowBytes = _mm512_set1_epi16(0x00FF);
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    const std::size_t done = bytes & ~std::size_t{127};
    for (std::size_t i = 0; i < done; i += 128) {
        const __m512i a = _mm512_loadu_si512(in + i);
        const __m512i b = _mm512_loadu_si512(in + i + 64);
        const __m512i lo =
            _mm512_packus_epi16(_mm512_and_si512(a, lowBytes), _mm512_and_si512(b, lowBytes));
        const __m512i hi = _mm512_packus_epi16(_mm512_srli_epi16(a, 8), _mm512_srli_epi16(b, 8));
        const __m512i n0 = _mm512_and_si512(lo, nibble);
        const __m512i n1 = _mm512_and_si512(_mm512_srli_epi16(lo, 4), nibble);
        const __m512i n2 = _mm512_and_si512(hi, nibble);
        const __m512i n3 = _mm512_and_si512(_mm512_srli_epi16(hi, 4), nibble);
        const __m512i pl = _mm512_xor_si512(
            _mm512_xor_si512(_mm512_shuffle_epi8(l0, n0), _mm512_shuffle_epi8(l1, n1)),
            _mm512_xor_si512(_mm512_shuffle_epi8(l2, n2), _mm512_shuffle_epi8(l3, n3)));
        const __m512i ph = _mm512_xor_si512(
            _mm512_xor_si512(_mm512_shuffle_epi8(h0, n0), _mm512_shuffle_epi8(h1, n1)),
            _mm512_xor_si512(_mm512_shuffle_epi8(h2, n2), _mm512_shuffle_epi8(h3, n3)));
        _mm512_storeu_si512(
            out + i, _mm512_xor_si512(_mm512_loadu_si512(out + i), _mm512_unpacklo_epi8(pl, ph)));
        _mm512_storeu_si512(out + i + 64, _mm512_xor_si512(_mm512_loadu_si512(out + i + 64),
                                                           _mm512_unpackhi_epi8(pl, ph)));
    }
    return done;
}

__attribute__((target("sse2"))) std::size_t AddSse2(const std::uint8_t* in, std::uint8_t* out,
                                                    std::size_t bytes) {
    const std::size_t done = bytes & ~std::size_t{15};
    for (std::size_t i = 0; i < done; i += 16) {
        __m128i* target = reinterpret_cast<__m128i*>(out + i);
        _mm_storeu_si128(target,
                         _mm_xor_si128(_mm_loadu_si128(target),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i))));
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t AddAvx2(const std::uint8_t* in, std::uint8_t* out,
                                                    std::size_t bytes) {
    const std::size_t done = bytes & ~std::size_t{63};
    for (std::size_t i = 0; i < done; i += 64) {
        __m256i* target = reinterpret_cast<__m256i*>(out + i);
        const __m256i* source = reinterpret_cast<const __m256i*>(in + i);
        _mm256_storeu_si256(
            target, _mm256_xor_si256(_mm256_loadu_si256(target), _mm256_loadu_si256(source)));
        _mm256_storeu_si256(target + 1, _mm256_xor_si256(_mm256_loadu_si256(target + 1),
                                                         _mm256_loadu_si256(source + 1)));
    }
    return done;
}

}  // namespace morcelix::gf16
