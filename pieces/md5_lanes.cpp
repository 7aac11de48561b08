#include "pieces/md5_lanes.h"

#include <algorithm>
#include <cstring>

#include "pieces/md5_lanes_kernels.h"

namespace morcelix {

namespace md5 {

namespace {

inline std::uint32_t RotateLeft(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

inline std::uint32_t LittleEndianWord(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

}  // namespace

void BlocksScalar(std::uint32_t* const* states, const std::uint8_t* const* data,
                  std::size_t blocks) {
    std::uint32_t* state = states[0];
    const std::uint8_t* in = data[0];
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t w[16];
    for (std::size_t block = 0; block < blocks; ++block, in += 64) {
        for (int i = 0; i < 16; ++i) {
            w[i] = LittleEndianWord(in + 4 * i);
        }
        const std::uint32_t aa = a, bb = b, cc = c, dd = d;
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, i, k, s) a = b + RotateLeft(a + f(b, c, d) + w[i] + (k), s)
#include "pieces/md5_steps.inc"
#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

}  // namespace md5

namespace {

struct KernelFacts {
    Md5Kernel kernel;
    std::string_view name;
    std::size_t lanes;
    md5::BlocksKernel blocks;
};

constexpr KernelFacts kKernels[] = {
    {Md5Kernel::Scalar, "scalar", 1, md5::BlocksScalar},
    {Md5Kernel::Sse2, "SSE2", 4, md5::BlocksSse2},
    {Md5Kernel::Avx2, "AVX2", 8, md5::BlocksAvx2},
    {Md5Kernel::Avx512, "AVX-512", 16, md5::BlocksAvx512},
};

const KernelFacts& FactsOf(Md5Kernel kernel) {
    return *std::find_if(std::begin(kKernels), std::end(kKernels),
                         [kernel](const KernelFacts& facts) { return facts.kernel == kernel; });
}

struct Dispatch {
    std::vector<Md5Kernel> available{Md5Kernel::Scalar};
    Dispatch() {
        if (md5::ProcessorRunsSse2()) {
            available.push_back(Md5Kernel::Sse2);
            if (md5::ProcessorRunsAvx2()) {
                available.push_back(Md5Kernel::Avx2);
                if (md5::ProcessorRunsAvx512()) {
                    available.push_back(Md5Kernel::Avx512);
                }
            }
        }
    }
};

const Dispatch& Kernels() {
    static const Dispatch dispatch;
    return dispatch;
}

}  // namespace

void Md5Stream::Update(const void* data, std::size_t size) {
    Md5Stream* self = this;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Md5UpdateStreamsWith(Md5Kernel::Scalar, &self, &bytes, &size, 1);
}

std::array<std::uint8_t, 16> Md5Stream::Digest() const {
    Md5Stream last(*this);
    // The padding: 0x80, zeros up to 56 bytes past a block's start, the length
    // in bits.
    std::uint8_t padding[72] = {0x80};
    const std::size_t used = static_cast<std::size_t>(length_ % 64);
    const std::size_t zeros = (used < 56 ? 56 : 120) - used;
    const std::uint64_t bits = length_ * 8;
    for (int i = 0; i < 8; ++i) {
        padding[zeros + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    last.Update(padding, zeros + 8);
    std::array<std::uint8_t, 16> digest{};
    for (int w = 0; w < 4; ++w) {
        for (int i = 0; i < 4; ++i) {
            digest[static_cast<std::size_t>(4 * w + i)] =
                static_cast<std::uint8_t>(last.state_[w] >> (8 * i));
        }
    }
    return digest;
}

void Md5UpdateStreams(Md5Stream* const* streams, const std::uint8_t* const* data,
                      const std::size_t* sizes, std::size_t count) {
    Md5UpdateStreamsWith(ActiveMd5Kernel(), streams, data, sizes, count);
}

void Md5UpdateStreamsWith(Md5Kernel kernel, Md5Stream* const* streams,
                          const std::uint8_t* const* data, const std::size_t* sizes,
                          std::size_t count) {
    struct Work {
        std::uint32_t* state;
        const std::uint8_t* data;
        std::size_t blocks;
    };
    std::vector<Work> work;
    work.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Md5Stream& stream = *streams[i];
        const std::uint8_t* in = data[i];
        std::size_t size = sizes[i];
        const std::size_t held = static_cast<std::size_t>(stream.length_ % 64);
        stream.length_ += size;
        if (held > 0) {
            const std::size_t take = std::min(64 - held, size);
            std::memcpy(stream.tail_ + held, in, take);
            in += take;
            size -= take;
            if (held + take < 64) {
                continue;
            }
            std::uint32_t* state = stream.state_;
            const std::uint8_t* tail = stream.tail_;
            md5::BlocksScalar(&state, &tail, 1);
        }
        if (size >= 64) {
            work.push_back(Work{stream.state_, in, size / 64});
        }
        std::memcpy(stream.tail_, in + size / 64 * 64, size % 64);
    }
    const KernelFacts& facts = FactsOf(kernel);
    // The longest streams side by side, as many as the kernel has lanes, for
    // as many blocks as the shortest of them; the lanes left over run on a
    // scratch state over the first stream's bytes.
    std::uint32_t scratch[16][4] = {};
    std::uint32_t* states[16];
    const std::uint8_t* in[16];
    while (!work.empty()) {
        if (work.size() == 1 || facts.lanes == 1) {
            for (Work& item : work) {
                md5::BlocksScalar(&item.state, &item.data, item.blocks);
            }
            return;
        }
        std::sort(work.begin(), work.end(),
                  [](const Work& x, const Work& y) { return x.blocks > y.blocks; });
        const std::size_t used = std::min(work.size(), facts.lanes);
        const std::size_t blocks = work[used - 1].blocks;
        for (std::size_t lane = 0; lane < facts.lanes; ++lane) {
            states[lane] = lane < used ? work[lane].state : scratch[lane];
            in[lane] = lane < used ? work[lane].data : work[0].data;
        }
        facts.blocks(states, in, blocks);
        for (std::size_t lane = 0; lane < used; ++lane) {
            work[lane].data += blocks * 64;
            work[lane].blocks -= blocks;
        }
        work.erase(std::remove_if(work.begin(), work.end(),
                                  [](const Work& item) { return item.blocks == 0; }),
                   work.end());
    }
}

std::string_view Md5KernelName(Md5Kernel kernel) {
    return FactsOf(kernel).name;
}

std::size_t Md5KernelLanes(Md5Kernel kernel) {
    return FactsOf(kernel).lanes;
}

std::vector<Md5Kernel> AvailableMd5Kernels() {
    return Kernels().available;
}

Md5Kernel ActiveMd5Kernel() {
    return Kernels().available.back();
}

}  // namespace morcelix
