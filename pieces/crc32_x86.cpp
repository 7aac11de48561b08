// The folding: the CRC of a message is its remainder modulo the polynomial
// P, bits reflected. A 128-bit block of remainder-to-be, 512 bits (or 128)
// before the next block, is replaced by its two 64-bit halves multiplied by
// x^(512+64) and x^512 mod P (x^(128+64), x^128), which XOR into the next
// block: the remainder does not change. At the end, 128 bits fold to 64,
// then 32, and a Barrett reduction by P gives the CRC. The constants are
// those powers of x modulo P, reflected, and floor(x^64 / P).
#include "pieces/crc32_x86.h"

#include <immintrin.h>

namespace morcelix::crc32 {

bool ProcessorHasPclmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
}

#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
__attribute__((target("sse2,pclmul"))) std::uint32_t
UpdatePclmul(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
#define CRC_LOAD(p) _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))
#define CRC_FOLD(x, k, next) \
    _mm_xor_si128(           \
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next)
    // Each pair: the low half's multiplier, then the high half's.
    const __m128i by512 = _mm_set_epi64x(0x1c6e41596LL, 0x154442bd4LL);
    const __m128i by128 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
    const __m128i by64 = _mm_set_epi64x(0, 0x163cd6124LL);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641LL, 0x1db710641LL);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x0 = _mm_xor_si128(CRC_LOAD(data), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m128i x1 = CRC_LOAD(data + 16), x2 = CRC_LOAD(data + 32), x3 = CRC_LOAD(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        x0 = CRC_FOLD(x0, by512, CRC_LOAD(data));
        x1 = CRC_FOLD(x1, by512, CRC_LOAD(data + 16));
        x2 = CRC_FOLD(x2, by512, CRC_LOAD(data + 32));
        x3 = CRC_FOLD(x3, by512, CRC_LOAD(data + 48));
    }
    __m128i x = CRC_FOLD(x0, by128, x1);
    x = CRC_FOLD(x, by128, x2);
    x = CRC_FOLD(x, by128, x3);
    for (; size >= 16; data += 16, size -= 16) {
        x = CRC_FOLD(x, by128, CRC_LOAD(data));
    }
#undef CRC_FOLD
#undef CRC_LOAD
    // 128 bits to 64: the low half times x^128 mod P (by128's high half),
    // into the high half.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, by128, 0x10), _mm_srli_si128(x, 8));
    // 64 to 32.
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), by64, 0x00),
                      _mm_srli_si128(x, 4));
    // Barrett: q = (x mod x^32) * floor(x^64 / P), then x - q * P.
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
    x = _mm_xor_si128(x, q);
    return ~static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

}  // namespace morcelix::crc32
