#include "pieces/gf16.h"

#include <array>
#include <cstring>
#include <memory>

#include "pieces/gf16_kernels.h"

namespace morcelix::gf16 {

namespace {

// Logarithms and powers of 2, the field's generator; exp holds two periods so
// that a sum of two logarithms needs no reduction.
struct LogTables {
    std::array<std::uint16_t, 65536> log{};
    std::array<std::uint16_t, 2 * kGroupOrder> exp{};
    LogTables() {
        std::uint32_t value = 1;
        for (std::uint32_t n = 0; n < kGroupOrder; ++n) {
            exp[n] = exp[n + kGroupOrder] = static_cast<std::uint16_t>(value);
            log[value] = static_cast<std::uint16_t>(n);
            value <<= 1;
            if (value & 0x10000) {
                value ^= kPolynomial;
            }
        }
    }
};

const LogTables& Tables() {
    static const std::unique_ptr<const LogTables> tables = std::make_unique<LogTables>();
    return *tables;
}

// The exponents n of the input constants 2^n, in order.
struct ConstantLogs {
    std::array<std::uint16_t, kMaxInputSlices> n{};
    ConstantLogs() {
        std::uint32_t index = 0;
        for (std::uint32_t candidate = 1; index < kMaxInputSlices; ++candidate) {
            if (candidate % 3 && candidate % 5 && candidate % 17 && candidate % 257) {
                n[index++] = static_cast<std::uint16_t>(candidate);
            }
        }
    }
};

const ConstantLogs& InputLogs() {
    static const ConstantLogs logs;
    return logs;
}

// value * 2 in the field.
std::uint16_t Double(std::uint16_t value) {
    std::uint32_t doubled = std::uint32_t{value} << 1;
    if (doubled & 0x10000) {
        doubled ^= kPolynomial;
    }
    return static_cast<std::uint16_t>(doubled);
}

// c * 2^j for j = 0..15: the products with each bit, from which the product
// with any word is the XOR of those of its bits.
std::array<std::uint16_t, 16> BitProducts(std::uint16_t constant) {
    std::array<std::uint16_t, 16> products{};
    products[0] = constant;
    for (int j = 1; j < 16; ++j) {
        products[j] = Double(products[j - 1]);
    }
    return products;
}

// One word at a time, through the logarithms: for short regions.
void MultiplyAddWords(std::uint16_t constant, const std::uint8_t* in, std::uint8_t* out,
                      std::size_t bytes) {
    const LogTables& tables = Tables();
    const std::uint32_t logC = tables.log[constant];
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const std::uint16_t word = static_cast<std::uint16_t>(in[i] | (in[i + 1] << 8));
        if (word != 0) {
            const std::uint16_t product = tables.exp[logC + tables.log[word]];
            out[i] ^= static_cast<std::uint8_t>(product);
            out[i + 1] ^= static_cast<std::uint8_t>(product >> 8);
        }
    }
}

// The portable kernel: the products with every low byte and every high byte,
// two lookups a word. Bytes are read one at a time: any byte order.
void MultiplyAddPortable(std::uint16_t constant, const std::uint8_t* in, std::uint8_t* out,
                         std::size_t bytes) {
    if (bytes < 1024) {
        MultiplyAddWords(constant, in, out, bytes);
        return;
    }
    const std::array<std::uint16_t, 16> bits = BitProducts(constant);
    std::uint16_t low[256], high[256];
    low[0] = high[0] = 0;
    for (unsigned v = 1; v < 256; ++v) {
        const unsigned lowest = static_cast<unsigned>(__builtin_ctz(v));
        low[v] = low[v & (v - 1)] ^ bits[lowest];
        high[v] = high[v & (v - 1)] ^ bits[lowest + 8];
    }
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const std::uint16_t product = low[in[i]] ^ high[in[i + 1]];
        out[i] ^= static_cast<std::uint8_t>(product);
        out[i + 1] ^= static_cast<std::uint8_t>(product >> 8);
    }
}

void AddPortable(const std::uint8_t* in, std::uint8_t* out, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        out[i] ^= in[i];
    }
}

struct Dispatch {
    std::vector<Kernel> available{Kernel::Portable};
    Dispatch() {
        if (ProcessorHasSsse3()) {
            available.push_back(Kernel::Ssse3);
            if (ProcessorHasAvx2()) {
                available.push_back(Kernel::Avx2);
                if (ProcessorHasAvx512()) {
                    available.push_back(Kernel::Avx512);
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

std::uint16_t Multiply(std::uint16_t a, std::uint16_t b) {
    if (a == 0 || b == 0) {
        return 0;
    }
    const LogTables& tables = Tables();
    return tables.exp[tables.log[a] + tables.log[b]];
}

std::uint16_t Power(std::uint16_t base, std::uint32_t exponent) {
    if (exponent == 0) {
        return 1;
    }
    if (base == 0) {
        return 0;
    }
    const LogTables& tables = Tables();
    const std::uint64_t log = std::uint64_t{tables.log[base]} * exponent % kGroupOrder;
    return tables.exp[log];
}

std::uint16_t Inverse(std::uint16_t a) {
    if (a == 0) {
        return 0;
    }
    const LogTables& tables = Tables();
    return tables.exp[(kGroupOrder - tables.log[a]) % kGroupOrder];
}

std::uint16_t Exp2(std::uint32_t exponent) {
    return Tables().exp[exponent % kGroupOrder];
}

std::uint16_t InputConstant(std::uint32_t index) {
    return Exp2(InputLogs().n[index]);
}

std::uint16_t RecoveryCoefficient(std::uint32_t index, std::uint32_t exponent) {
    return Exp2(
        static_cast<std::uint32_t>(std::uint64_t{InputLogs().n[index]} * exponent % kGroupOrder));
}

void MakeNibbleTables(std::uint16_t constant, NibbleTables& tables) {
    const std::array<std::uint16_t, 16> bits = BitProducts(constant);
    for (int k = 0; k < 4; ++k) {
        tables.low[k][0] = tables.high[k][0] = 0;
        std::uint16_t products[16] = {0};
        for (unsigned v = 1; v < 16; ++v) {
            const unsigned lowest = static_cast<unsigned>(__builtin_ctz(v));
            products[v] = products[v & (v - 1)] ^ bits[4 * k + lowest];
            tables.low[k][v] = static_cast<std::uint8_t>(products[v]);
            tables.high[k][v] = static_cast<std::uint8_t>(products[v] >> 8);
        }
    }
}

std::string_view KernelName(Kernel kernel) {
    switch (kernel) {
        case Kernel::Portable:
            return "portable";
        case Kernel::Ssse3:
            return "SSSE3";
        case Kernel::Avx2:
            return "AVX2";
        case Kernel::Avx512:
            return "AVX-512";
    }
    return "";
}

std::vector<Kernel> AvailableKernels() {
    return Kernels().available;
}

Kernel ActiveKernel() {
    return Kernels().available.back();
}

namespace {

void MultiplyAddTables(Kernel kernel, std::uint16_t constant, const NibbleTables* made,
                       const void* in, void* out, std::size_t bytes) {
    const auto* source = static_cast<const std::uint8_t*>(in);
    auto* target = static_cast<std::uint8_t*>(out);
    bytes &= ~std::size_t{1};
    if (constant == 0 || bytes == 0) {
        return;
    }
    if (constant == 1) {
        Add(in, out, bytes);
        return;
    }
    std::size_t done = 0;
    if (kernel != Kernel::Portable && bytes >= 64) {
        NibbleTables tables;
        if (made) {
            tables = *made;
        } else {
            MakeNibbleTables(constant, tables);
        }
        switch (kernel) {
            case Kernel::Avx512:
                done = MultiplyAddAvx512(tables, source, target, bytes);
                done += MultiplyAddAvx2(tables, source + done, target + done, bytes - done);
                break;
            case Kernel::Avx2:
                done = MultiplyAddAvx2(tables, source, target, bytes);
                break;
            default:
                done = MultiplyAddSsse3(tables, source, target, bytes);
                break;
        }
    }
    MultiplyAddPortable(constant, source + done, target + done, bytes - done);
}

}  // namespace

void MultiplyAddWith(Kernel kernel, std::uint16_t constant, const void* in, void* out,
                     std::size_t bytes) {
    MultiplyAddTables(kernel, constant, nullptr, in, out, bytes);
}

static_assert(sizeof(NibbleTables) == 128, "Multiplier keeps the tables as 128 bytes");

Multiplier::Multiplier(std::uint16_t constant) : constant_(constant), tables_{} {
    NibbleTables tables;
    MakeNibbleTables(constant, tables);
    std::memcpy(tables_, &tables, sizeof tables);
}

void Multiplier::MultiplyAdd(const void* in, void* out, std::size_t bytes) const {
    NibbleTables tables;
    std::memcpy(&tables, tables_, sizeof tables);
    MultiplyAddTables(ActiveKernel(), constant_, &tables, in, out, bytes);
}

void MultiplyAdd(std::uint16_t constant, const void* in, void* out, std::size_t bytes) {
    MultiplyAddWith(ActiveKernel(), constant, in, out, bytes);
}

void Add(const void* in, void* out, std::size_t bytes) {
    const auto* source = static_cast<const std::uint8_t*>(in);
    auto* target = static_cast<std::uint8_t*>(out);
    const std::size_t done = ActiveKernel() >= Kernel::Avx2 ? AddAvx2(source, target, bytes)
                                                            : AddSse2(source, target, bytes);
    AddPortable(source + done, target + done, bytes - done);
}

}  // namespace morcelix::gf16
