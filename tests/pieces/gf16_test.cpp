// GF(2^16) as the PAR2 2.0 format defines it, and the region kernels checked
// against a word-by-word reference on inputs chosen to catch a misplaced
// byte, nibble or lane.
#include "pieces/gf16.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace morcelix {
namespace {

// Carry-less product reduced by the generator polynomial, bit by bit.
std::uint16_t SlowMultiply(std::uint16_t a, std::uint16_t b) {
    std::uint32_t product = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (b & (1u << bit)) {
            product ^= std::uint32_t{a} << bit;
        }
    }
    for (int bit = 31; bit >= 16; --bit) {
        if (product & (1u << bit)) {
            product ^= gf16::kPolynomial << (bit - 16);
        }
    }
    return static_cast<std::uint16_t>(product);
}

TEST(Gf16Test, ProductsInversesAndPowersAreThoseOfTheFormatsField) {
    std::mt19937 random(7);
    const std::uint16_t edges[] = {0, 1, 2, 3, 0x8000, 0x8001, 0xFFFF, 0x100B, 0x7FFF};
    for (const std::uint16_t a : edges) {
        for (const std::uint16_t b : edges) {
            EXPECT_EQ(gf16::Multiply(a, b), SlowMultiply(a, b)) << a << " * " << b;
        }
    }
    for (int i = 0; i < 20000; ++i) {
        const auto a = static_cast<std::uint16_t>(random()),
                   b = static_cast<std::uint16_t>(random());
        ASSERT_EQ(gf16::Multiply(a, b), SlowMultiply(a, b)) << a << " * " << b;
    }
    // 2 generates the whole multiplicative group: its powers are all distinct.
    std::vector<bool> seen(65536);
    std::uint16_t power = 1;
    for (std::uint32_t n = 0; n < gf16::kGroupOrder; ++n) {
        ASSERT_EQ(gf16::Exp2(n), power);
        ASSERT_FALSE(seen[power]) << "2^" << n;
        seen[power] = true;
        power = SlowMultiply(power, 2);
    }
    EXPECT_EQ(power, 1);
    for (std::uint32_t a = 1; a < 65536; ++a) {
        ASSERT_EQ(gf16::Multiply(static_cast<std::uint16_t>(a),
                                 gf16::Inverse(static_cast<std::uint16_t>(a))),
                  1)
            << a;
    }
    EXPECT_EQ(gf16::Power(0, 0), 1);
    EXPECT_EQ(gf16::Power(0, 5), 0);
    EXPECT_EQ(gf16::Power(3, 3), SlowMultiply(SlowMultiply(3, 3), 3));
    EXPECT_EQ(gf16::Power(0x1234, gf16::kGroupOrder), 1);
}

TEST(Gf16Test, InputConstantsAreThePowersOfTwoWithExponentsCoprimeToTheGroupsOrder) {
    // n = 1, 2, 4, 7, 8, 11, 13, 14, 16, 19, 22, 23: 3, 5, 6, 9, 10... left out.
    const std::uint32_t first[] = {1, 2, 4, 7, 8, 11, 13, 14, 16, 19, 22, 23};
    for (std::uint32_t i = 0; i < std::size(first); ++i) {
        EXPECT_EQ(gf16::InputConstant(i), gf16::Exp2(first[i])) << i;
    }
    std::set<std::uint16_t> constants;
    for (std::uint32_t i = 0; i < gf16::kMaxInputSlices; ++i) {
        constants.insert(gf16::InputConstant(i));
    }
    EXPECT_EQ(constants.size(), gf16::kMaxInputSlices);
    // The last one: 2^65534, the largest exponent below the group's order.
    EXPECT_EQ(gf16::InputConstant(gf16::kMaxInputSlices - 1), gf16::Exp2(65534));
    for (const std::uint32_t exponent : {0u, 1u, 2u, 200u, 65534u}) {
        EXPECT_EQ(gf16::RecoveryCoefficient(5, exponent),
                  gf16::Power(gf16::InputConstant(5), exponent));
    }
    EXPECT_EQ(gf16::RecoveryCoefficient(32767, 0), 1);
}

// out ^= constant * in, one word at a time, through SlowMultiply.
void ReferenceMultiplyAdd(std::uint16_t constant, const std::uint8_t* in, std::uint8_t* out,
                          std::size_t bytes) {
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const std::uint16_t product =
            SlowMultiply(constant, static_cast<std::uint16_t>(in[i] | in[i + 1] << 8));
        out[i] ^= static_cast<std::uint8_t>(product);
        out[i + 1] ^= static_cast<std::uint8_t>(product >> 8);
    }
}

TEST(Gf16Test, EveryKernelGivesTheReferenceProductsOnAdversarialRegions) {
    const std::vector<gf16::Kernel> kernels = gf16::AvailableKernels();
    ASSERT_EQ(kernels.front(), gf16::Kernel::Portable);
    EXPECT_EQ(gf16::ActiveKernel(), kernels.back());
    std::mt19937 random(11);
    // Patterns: zeros, all ones, short periods that a lane or nibble mix-up
    // would shift, a single word set, and noise.
    const std::size_t kLargest = 70000;
    std::vector<std::vector<std::uint8_t>> patterns;
    patterns.emplace_back(kLargest, 0x00);
    patterns.emplace_back(kLargest, 0xFF);
    for (const std::size_t period : {2, 3, 6, 17, 32, 33}) {
        std::vector<std::uint8_t> bytes(kLargest);
        for (std::size_t i = 0; i < kLargest; ++i) {
            bytes[i] = static_cast<std::uint8_t>((i % period) * 37 + 1);
        }
        patterns.push_back(bytes);
    }
    std::vector<std::uint8_t> lone(kLargest, 0);
    lone[62] = 0xA5;
    lone[63] = 0x5A;
    patterns.push_back(lone);
    std::vector<std::uint8_t> noise(kLargest);
    for (std::uint8_t& byte : noise) {
        byte = static_cast<std::uint8_t>(random());
    }
    patterns.push_back(noise);

    const std::uint16_t constants[] = {
        0, 1, 2, 3, 0x00FF, 0x0100, 0x8000, 0xFFFF, 0x1234, static_cast<std::uint16_t>(random())};
    // Around the 32-, 64- and 128-byte blocks, the portable kernel's table threshold
    // and a long region, at every alignment of the first byte.
    const std::size_t lengths[] = {0,  2,   30,  32,   34,   62,   64,   66,
                                   96, 126, 128, 1022, 1024, 1026, 4098, 65600};
    std::vector<std::uint8_t> start(kLargest + 8);
    for (std::uint8_t& byte : start) {
        byte = static_cast<std::uint8_t>(random());
    }
    for (const gf16::Kernel kernel : kernels) {
        for (std::size_t p = 0; p < patterns.size(); ++p) {
            for (const std::uint16_t constant : constants) {
                for (const std::size_t length : lengths) {
                    const std::size_t shift = (p + length / 2) % 4;
                    const std::uint8_t* in = patterns[p].data() + (shift + 1) % 4;
                    std::vector<std::uint8_t> expected(start), got(start);
                    ReferenceMultiplyAdd(constant, in, expected.data() + shift, length);
                    gf16::MultiplyAddWith(kernel, constant, in, got.data() + shift, length);
                    ASSERT_EQ(got, expected)
                        << gf16::KernelName(kernel) << ", pattern " << p << ", constant "
                        << constant << ", " << length << " bytes, output shifted by " << shift;
                }
            }
        }
    }
}

TEST(Gf16Test, AMultiplierMadeOnceGivesTheProductsOfItsConstant) {
    std::mt19937 random(12);
    std::vector<std::uint8_t> in(5000);
    for (std::uint8_t& byte : in) {
        byte = static_cast<std::uint8_t>(random());
    }
    for (const std::uint16_t constant :
         {std::uint16_t{0}, std::uint16_t{1}, std::uint16_t{2}, std::uint16_t{0x8001},
          std::uint16_t{0xFFFF}, static_cast<std::uint16_t>(random())}) {
        const gf16::Multiplier multiplier(constant);
        EXPECT_EQ(multiplier.Constant(), constant);
        // Lengths below, at and past every kernel's block, from odd addresses.
        for (const std::size_t bytes : {std::size_t{2}, std::size_t{62}, std::size_t{64},
                                        std::size_t{130}, std::size_t{4098}}) {
            std::vector<std::uint8_t> expected(in.rbegin(), in.rbegin() + 4100), got = expected;
            gf16::MultiplyAdd(constant, in.data() + 1, expected.data() + 1, bytes);
            multiplier.MultiplyAdd(in.data() + 1, got.data() + 1, bytes);
            EXPECT_EQ(got, expected) << constant << " over " << bytes;
        }
    }
}

TEST(Gf16Test, AddIsTheXorOfAnyNumberOfBytes) {
    std::vector<std::uint8_t> in(300), out(300);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<std::uint8_t>(i * 7);
        out[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    for (const std::size_t length : {0, 1, 15, 16, 17, 63, 64, 65, 127, 299}) {
        std::vector<std::uint8_t> got(out);
        gf16::Add(in.data() + 1, got.data(), length);
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_EQ(got[i], i < length ? (out[i] ^ in[i + 1]) : out[i])
                << length << " bytes, byte " << i;
        }
    }
}

}  // namespace
}  // namespace morcelix
