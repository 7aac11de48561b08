// What md5_lanes.cpp shares with the processor-specific kernels
// (md5_lanes_x86.cpp). Not for other callers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morcelix::md5 {

// Runs `blocks` 64-byte blocks through each of the kernel's lanes: lane l
// carries on the state states[l] (4 words) over data[l]. Each kernel has a
// fixed number of lanes: 1, 4 (SSE2), 8 (AVX2), 16 (AVX-512).
using BlocksKernel = void (*)(std::uint32_t* const* states, const std::uint8_t* const* data,
                              std::size_t blocks);
void BlocksScalar(std::uint32_t* const* states, const std::uint8_t* const* data,
                  std::size_t blocks);
void BlocksSse2(std::uint32_t* const* states, const std::uint8_t* const* data, std::size_t blocks);
void BlocksAvx2(std::uint32_t* const* states, const std::uint8_t* const* data, std::size_t blocks);
void BlocksAvx512(std::uint32_t* const* states, const std::uint8_t* const* data,
                  std::size_t blocks);

// What the processor runs, asked once (the system's support of the wide
// registers included). The wide kernels are built for 64-bit programs only.
bool ProcessorRunsSse2();
bool ProcessorRunsAvx2();
bool ProcessorRunsAvx512();  // AVX-512 F

}  // namespace morcelix::md5
