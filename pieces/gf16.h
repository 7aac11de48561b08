// Arithmetic in GF(2^16) as the PAR2 2.0 format defines it: 16-bit words,
// addition is XOR, multiplication modulo the generator polynomial 0x1100B, and
// the constants of the format's recovery matrix. Data regions are arrays of
// little-endian 16-bit words, as slices are.
//
// The region operations pick, once, the widest kernel that the processor runs
// (AVX-512, else AVX2, else SSSE3, else a portable one): nothing above SSE2 runs before the
// run-time check, so the 32-bit program keeps working on an SSE2 processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morcelix::gf16 {

inline constexpr std::uint32_t kPolynomial = 0x1100B;
// The multiplicative group's order: exponents are taken modulo it.
inline constexpr std::uint32_t kGroupOrder = 65535;
// How many input slices a recovery set can hold: as many as there are
// exponents coprime with the group's order (65535 = 3 * 5 * 17 * 257).
inline constexpr std::uint32_t kMaxInputSlices = 32768;

std::uint16_t Multiply(std::uint16_t a, std::uint16_t b);
// `base` to the power `exponent` (0^0 is 1).
std::uint16_t Power(std::uint16_t base, std::uint32_t exponent);
// The inverse of a non-zero element; 0 has none (0 is returned).
std::uint16_t Inverse(std::uint16_t a);
// 2 to the power `exponent`.
std::uint16_t Exp2(std::uint32_t exponent);

// The constant of the input slice `index` (< kMaxInputSlices): 2^n for the
// index-th n >= 1 (counting from 0) with n mod 3, 5, 17 and 257 all non-zero.
std::uint16_t InputConstant(std::uint32_t index);

// The coefficient of input slice `index` in the recovery slice of `exponent`:
// InputConstant(index)^exponent (1 for exponent 0: that slice is the XOR).
std::uint16_t RecoveryCoefficient(std::uint32_t index, std::uint32_t exponent);

// A kernel of the region operations.
enum class Kernel { Portable, Ssse3, Avx2, Avx512 };
std::string_view KernelName(Kernel kernel);
// The kernels this processor runs, the portable one first.
std::vector<Kernel> AvailableKernels();
// The one the region operations use: the last of AvailableKernels().
Kernel ActiveKernel();

// out[i] ^= constant * in[i] for the `bytes / 2` words of both regions, with
// the active kernel. `bytes` is even; the regions may have any alignment, and
// must not overlap unless they are the same. A constant of 1 is a plain XOR,
// 0 does nothing.
void MultiplyAdd(std::uint16_t constant, const void* in, void* out, std::size_t bytes);
// MultiplyAdd by one constant, its kernel's tables made once: for the loops
// that apply one constant to many regions.
class Multiplier {
  public:
    explicit Multiplier(std::uint16_t constant = 0);
    std::uint16_t Constant() const { return constant_; }
    void MultiplyAdd(const void* in, void* out, std::size_t bytes) const;

  private:
    std::uint16_t constant_;
    std::uint8_t tables_[128];  // gf16_kernels.h's NibbleTables
};

// out ^= in, for any number of bytes.
void Add(const void* in, void* out, std::size_t bytes);

// MultiplyAdd with a given kernel, for the tests that compare them.
void MultiplyAddWith(Kernel kernel, std::uint16_t constant, const void* in, void* out,
                     std::size_t bytes);

}  // namespace morcelix::gf16
