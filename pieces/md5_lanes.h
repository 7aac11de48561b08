// MD5 of many byte streams at once: what a PAR2 set needs of every byte of
// every piece (each piece's MD5, its first 16 KiB's, each slice's), where the
// streams are independent (one a piece) but each one is a chain that no core
// can split. One stream goes at the speed of one core's scalar MD5 (some
// 700 MB/s); the vector kernels run 4 (SSE2), 8 (AVX2) or 16 (AVX-512)
// streams side by side, one 32-bit lane each, several times faster in all.
//
// The digests are those of the algorithm (RFC 1321), checked by the tests
// against the platform's own MD5 (digest.h). The kernel is chosen once, at
// run time: nothing above SSE2 runs before the processor is asked, and the
// 32-bit program keeps to SSE2.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morcelix {

enum class Md5Kernel;

// One stream's MD5 under way. A copy carries on from the same bytes, apart
// from the original: the MD5 of a prefix is a copy's Digest.
class Md5Stream {
  public:
    void Update(const void* data, std::size_t size);
    // The MD5 of the bytes given so far; the stream may go on.
    std::array<std::uint8_t, 16> Digest() const;
    std::uint64_t Length() const { return length_; }

  private:
    friend void Md5UpdateStreamsWith(Md5Kernel, Md5Stream* const*, const std::uint8_t* const*,
                                     const std::size_t*, std::size_t);
    std::uint32_t state_[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    std::uint64_t length_ = 0;
    std::uint8_t tail_[64] = {};  // the bytes past the last whole block
};

// streams[i]->Update(data[i], sizes[i]) for each i, the streams side by side
// on the widest kernel. The streams must be distinct.
void Md5UpdateStreams(Md5Stream* const* streams, const std::uint8_t* const* data,
                      const std::size_t* sizes, std::size_t count);

// The kernels, for the tests that compare them and for the benchmark.
enum class Md5Kernel { Scalar, Sse2, Avx2, Avx512 };
std::string_view Md5KernelName(Md5Kernel kernel);
// How many streams the kernel runs side by side.
std::size_t Md5KernelLanes(Md5Kernel kernel);
// The kernels this processor runs, the scalar one first.
std::vector<Md5Kernel> AvailableMd5Kernels();
// The one Md5UpdateStreams uses: the last of AvailableMd5Kernels().
Md5Kernel ActiveMd5Kernel();
// Md5UpdateStreams with a given kernel.
void Md5UpdateStreamsWith(Md5Kernel kernel, Md5Stream* const* streams,
                          const std::uint8_t* const* data, const std::size_t* sizes,
                          std::size_t count);

}  // namespace morcelix
