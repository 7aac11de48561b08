// The vector kernels of the MD5 of several streams, for x86 processors: each
// stream in one 32-bit lane of the vectors, the four words of its state in
// four vectors, so that one instruction does a step for every stream. Each
// is compiled for its instruction set through a target attribute, not the
// build's flags, and runs only once md5_lanes.cpp has asked the processor.
//
// A block's words come from each lane's 64 bytes by transposing (4 x 4 words
// at a time with SSE2, 8 x 8 with AVX2 and AVX-512) into a table of words by
// lanes. The state is kept in memory across the transposition, the steps use
// a handful of registers, and every load and store is unaligned: GCC does
// not realign the stack for a 32-byte slot on 64-bit Windows, nor does a
// 32-bit stack promise 16 bytes (the SSE2 kernel realigns its own).
#include <immintrin.h>

#include <cstring>

#include "pieces/md5_lanes_kernels.h"

// GCC 12 takes the undefined vector that _mm512_set1_epi32 starts from for
// one used uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace morcelix::md5 {

bool ProcessorRunsSse2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
}

#if defined(__x86_64__)
bool ProcessorRunsAvx2() {
    __builtin_cpu_init();
    // Also tells whether the system saves the 256-bit registers (XCR0).
    return __builtin_cpu_supports("avx2");
}

bool ProcessorRunsAvx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}
#else
bool ProcessorRunsAvx2() {
    return false;
}

bool ProcessorRunsAvx512() {
    return false;
}
#endif

namespace {

// The transposition of four rows of four words (a, b, c, d) into columns.
#define MD5_TRANSPOSE4(r0, r1, r2, r3)                 \
    do {                                               \
        const __m128i t0 = _mm_unpacklo_epi32(r0, r1); \
        const __m128i t1 = _mm_unpacklo_epi32(r2, r3); \
        const __m128i t2 = _mm_unpackhi_epi32(r0, r1); \
        const __m128i t3 = _mm_unpackhi_epi32(r2, r3); \
        r0 = _mm_unpacklo_epi64(t0, t1);               \
        r1 = _mm_unpackhi_epi64(t0, t1);               \
        r2 = _mm_unpacklo_epi64(t2, t3);               \
        r3 = _mm_unpackhi_epi64(t2, t3);               \
    } while (false)

}  // namespace

#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
__attribute__((target("sse2"))) void
BlocksSse2(std::uint32_t* const* states, const std::uint8_t* const* data, std::size_t blocks) {
    constexpr int kLanes = 4;
    std::uint32_t saved[4][kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
        for (int j = 0; j < 4; ++j) {
            saved[j][lane] = states[lane][j];
        }
    }
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(saved[0]));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(saved[1]));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(saved[2]));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(saved[3]));
    std::uint32_t words[16][kLanes];
    const __m128i ones = _mm_set1_epi32(-1);
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t at = block * 64;
        for (int group = 0; group < 4; ++group) {
            __m128i r0 =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[0] + at + 16 * group));
            __m128i r1 =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[1] + at + 16 * group));
            __m128i r2 =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[2] + at + 16 * group));
            __m128i r3 =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[3] + at + 16 * group));
            MD5_TRANSPOSE4(r0, r1, r2, r3);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(words[4 * group]), r0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(words[4 * group + 1]), r1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(words[4 * group + 2]), r2);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(words[4 * group + 3]), r3);
        }
        const __m128i aa = a, bb = b, cc = c, dd = d;
#define MD5_W(i) _mm_loadu_si128(reinterpret_cast<const __m128i*>(words[i]))
#define MD5_F(x, y, z) _mm_xor_si128(z, _mm_and_si128(x, _mm_xor_si128(y, z)))
#define MD5_G(x, y, z) _mm_xor_si128(y, _mm_and_si128(z, _mm_xor_si128(x, y)))
#define MD5_H(x, y, z) _mm_xor_si128(_mm_xor_si128(x, y), z)
#define MD5_I(x, y, z) _mm_xor_si128(y, _mm_or_si128(x, _mm_xor_si128(z, ones)))
#define MD5_STEP(f, a, b, c, d, i, k, s)                                                         \
    do {                                                                                         \
        const __m128i sum =                                                                      \
            _mm_add_epi32(_mm_add_epi32(a, f(b, c, d)),                                          \
                          _mm_add_epi32(MD5_W(i), _mm_set1_epi32(static_cast<int>(k))));         \
        a = _mm_add_epi32(b, _mm_or_si128(_mm_slli_epi32(sum, s), _mm_srli_epi32(sum, 32 - s))); \
    } while (false)
#include "pieces/md5_steps.inc"
#undef MD5_STEP
#undef MD5_I
#undef MD5_H
#undef MD5_G
#undef MD5_F
#undef MD5_W
        a = _mm_add_epi32(a, aa);
        b = _mm_add_epi32(b, bb);
        c = _mm_add_epi32(c, cc);
        d = _mm_add_epi32(d, dd);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(saved[0]), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(saved[1]), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(saved[2]), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(saved[3]), d);
    for (int lane = 0; lane < kLanes; ++lane) {
        for (int j = 0; j < 4; ++j) {
            states[lane][j] = saved[j][lane];
        }
    }
}

#if defined(__x86_64__)

namespace {

// Transposes 8 lanes' 8 words (the 32 bytes of each rows[l] from `at`) into
// columns: out + w * stride holds word w of the 8 lanes.
__attribute__((target("avx2"), always_inline)) inline void Transpose8(
    const std::uint8_t* const* rows, std::size_t at, std::uint32_t* out, std::size_t stride) {
#define MD5_ROW(lane) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[lane] + at))
    __m256i t0, t1, t2, t3, t4, t5, t6, t7;
    {
        const __m256i r0 = MD5_ROW(0), r1 = MD5_ROW(1), r2 = MD5_ROW(2), r3 = MD5_ROW(3);
        const __m256i s0 = _mm256_unpacklo_epi32(r0, r1), s1 = _mm256_unpackhi_epi32(r0, r1);
        const __m256i s2 = _mm256_unpacklo_epi32(r2, r3), s3 = _mm256_unpackhi_epi32(r2, r3);
        t0 = _mm256_unpacklo_epi64(s0, s2);  // words 0 and 4 of lanes 0-3
        t1 = _mm256_unpackhi_epi64(s0, s2);  // 1 and 5
        t2 = _mm256_unpacklo_epi64(s1, s3);  // 2 and 6
        t3 = _mm256_unpackhi_epi64(s1, s3);  // 3 and 7
    }
    {
        const __m256i r4 = MD5_ROW(4), r5 = MD5_ROW(5), r6 = MD5_ROW(6), r7 = MD5_ROW(7);
        const __m256i s4 = _mm256_unpacklo_epi32(r4, r5), s5 = _mm256_unpackhi_epi32(r4, r5);
        const __m256i s6 = _mm256_unpacklo_epi32(r6, r7), s7 = _mm256_unpackhi_epi32(r6, r7);
        t4 = _mm256_unpacklo_epi64(s4, s6);
        t5 = _mm256_unpackhi_epi64(s4, s6);
        t6 = _mm256_unpacklo_epi64(s5, s7);
        t7 = _mm256_unpackhi_epi64(s5, s7);
    }
#undef MD5_ROW
#define MD5_COLUMN(word, v) \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + std::size_t{word} * stride), v)
    MD5_COLUMN(0, _mm256_permute2x128_si256(t0, t4, 0x20));
    MD5_COLUMN(4, _mm256_permute2x128_si256(t0, t4, 0x31));
    MD5_COLUMN(1, _mm256_permute2x128_si256(t1, t5, 0x20));
    MD5_COLUMN(5, _mm256_permute2x128_si256(t1, t5, 0x31));
    MD5_COLUMN(2, _mm256_permute2x128_si256(t2, t6, 0x20));
    MD5_COLUMN(6, _mm256_permute2x128_si256(t2, t6, 0x31));
    MD5_COLUMN(3, _mm256_permute2x128_si256(t3, t7, 0x20));
    MD5_COLUMN(7, _mm256_permute2x128_si256(t3, t7, 0x31));
#undef MD5_COLUMN
}

}  // namespace

__attribute__((target("avx2"))) void BlocksAvx2(std::uint32_t* const* states,
                                                const std::uint8_t* const* data,
                                                std::size_t blocks) {
    constexpr int kLanes = 8;
    std::uint32_t saved[4][kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
        for (int j = 0; j < 4; ++j) {
            saved[j][lane] = states[lane][j];
        }
    }
    std::uint32_t words[16][kLanes];
    const __m256i ones = _mm256_set1_epi32(-1);
    for (std::size_t block = 0; block < blocks; ++block) {
        Transpose8(data, block * 64, words[0], kLanes);
        Transpose8(data, block * 64 + 32, words[8], kLanes);
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(saved[0]));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(saved[1]));
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(saved[2]));
        __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(saved[3]));
#define MD5_W(i) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words[i]))
#define MD5_F(x, y, z) _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)))
#define MD5_G(x, y, z) _mm256_xor_si256(y, _mm256_and_si256(z, _mm256_xor_si256(x, y)))
#define MD5_H(x, y, z) _mm256_xor_si256(_mm256_xor_si256(x, y), z)
#define MD5_I(x, y, z) _mm256_xor_si256(y, _mm256_or_si256(x, _mm256_xor_si256(z, ones)))
#define MD5_STEP(f, a, b, c, d, i, k, s)                                                          \
    do {                                                                                          \
        const __m256i sum =                                                                       \
            _mm256_add_epi32(_mm256_add_epi32(a, f(b, c, d)),                                     \
                             _mm256_add_epi32(MD5_W(i), _mm256_set1_epi32(static_cast<int>(k)))); \
        a = _mm256_add_epi32(                                                                     \
            b, _mm256_or_si256(_mm256_slli_epi32(sum, s), _mm256_srli_epi32(sum, 32 - s)));       \
    } while (false)
#include "pieces/md5_steps.inc"
#undef MD5_STEP
#undef MD5_I
#undef MD5_H
#undef MD5_G
#undef MD5_F
#undef MD5_W
#define MD5_KEEP(j, v)                        \
    _mm256_storeu_si256(                      \
        reinterpret_cast<__m256i*>(saved[j]), \
        _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<__m256i*>(saved[j])), v))
        MD5_KEEP(0, a);
        MD5_KEEP(1, b);
        MD5_KEEP(2, c);
        MD5_KEEP(3, d);
#undef MD5_KEEP
    }
    for (int lane = 0; lane < kLanes; ++lane) {
        for (int j = 0; j < 4; ++j) {
            states[lane][j] = saved[j][lane];
        }
    }
}

__attribute__((target("avx512f"))) void BlocksAvx512(std::uint32_t* const* states,
                                                     const std::uint8_t* const* data,
                                                     std::size_t blocks) {
    constexpr int kLanes = 16;
    std::uint32_t saved[4][kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
        for (int j = 0; j < 4; ++j) {
            saved[j][lane] = states[lane][j];
        }
    }
    std::uint32_t words[16][kLanes];
    for (std::size_t block = 0; block < blocks; ++block) {
        for (int half = 0; half < 2; ++half) {
            Transpose8(data, block * 64 + 32 * half, words[8 * half], kLanes);
            Transpose8(data + 8, block * 64 + 32 * half, words[8 * half] + 8, kLanes);
        }
        __m512i a = _mm512_loadu_si512(saved[0]);
        __m512i b = _mm512_loadu_si512(saved[1]);
        __m512i c = _mm512_loadu_si512(saved[2]);
        __m512i d = _mm512_loadu_si512(saved[3]);
        // The step functions are one ternary logic each: the table's index
        // is 4x + 2y + z.
#define MD5_W(i) _mm512_loadu_si512(words[i])
#define MD5_F(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xCA)
#define MD5_G(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xE4)
#define MD5_H(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x96)
#define MD5_I(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x39)
#define MD5_STEP(f, a, b, c, d, i, k, s)                                                          \
    do {                                                                                          \
        const __m512i sum =                                                                       \
            _mm512_add_epi32(_mm512_add_epi32(a, f(b, c, d)),                                     \
                             _mm512_add_epi32(MD5_W(i), _mm512_set1_epi32(static_cast<int>(k)))); \
        a = _mm512_add_epi32(b, _mm512_rol_epi32(sum, s));                                        \
    } while (false)
#include "pieces/md5_steps.inc"
#undef MD5_STEP
#undef MD5_I
#undef MD5_H
#undef MD5_G
#undef MD5_F
#undef MD5_W
#define MD5_KEEP(j, v) \
    _mm512_storeu_si512(saved[j], _mm512_add_epi32(_mm512_loadu_si512(saved[j]), v))
        MD5_KEEP(0, a);
        MD5_KEEP(1, b);
        MD5_KEEP(2, c);
        MD5_KEEP(3, d);
#undef MD5_KEEP
    }
    for (int lane = 0; lane < kLanes; ++lane) {
        for (int j = 0; j < 4; ++j) {
            states[lane][j] = saved[j][lane];
        }
    }
}

#else

// Never chosen (the processor is not asked), but right: each lane alone.
void BlocksAvx2(std::uint32_t* const* states, const std::uint8_t* const* data, std::size_t blocks) {
    for (int lane = 0; lane < 8; ++lane) {
        BlocksScalar(states + lane, data + lane, blocks);
    }
}

void BlocksAvx512(std::uint32_t* const* states, const std::uint8_t* const* data,
                  std::size_t blocks) {
    for (int lane = 0; lane < 16; ++lane) {
        BlocksScalar(states + lane, data + lane, blocks);
    }
}

#endif

}  // namespace morcelix::md5
