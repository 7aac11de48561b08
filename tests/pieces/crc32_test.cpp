// The CRC-32 of the digests, folded by carry-less multiplication where the
// processor has it, against zlib's own at every length around the folding's
// blocks, at every alignment, and carried on from any CRC.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "pieces/crc32_x86.h"
#include "pieces/digest.h"

namespace morcelix {
namespace {

std::string ZlibCrc(const std::string& bytes) {
    const uLong crc =
        crc32_z(crc32_z(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
    char text[9];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(crc));
    return text;
}

TEST(Crc32Test, TheDigestIsZlibsAtEveryLengthAlignmentAndSplit) {
    std::mt19937 random(9);
    std::string bytes(4096 + 64, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    for (std::size_t length = 0; length < 600; ++length) {
        for (const std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            const std::string part = bytes.substr(offset, length);
            Digest whole(DigestKind::Crc32);
            whole.Update(part.data(), part.size());
            EXPECT_EQ(whole.HexDigest(), ZlibCrc(part)) << length << " from " << offset;
            // In two updates, the second carrying on from the first's CRC.
            Digest split(DigestKind::Crc32);
            const std::size_t first = length == 0 ? 0 : random() % length;
            split.Update(part.data(), first);
            split.Update(part.data() + first, part.size() - first);
            EXPECT_EQ(split.HexDigest(), ZlibCrc(part)) << length << " split at " << first;
        }
    }
    // Long runs: the 64-byte folding loop, all ones and all zeros included.
    for (const char fill : {'\0', '\xff'}) {
        const std::string run(100000, fill);
        Digest crc(DigestKind::Crc32);
        crc.Update(run.data(), run.size());
        EXPECT_EQ(crc.HexDigest(), ZlibCrc(run));
    }
    Digest crc(DigestKind::Crc32);
    crc.Update(bytes.data(), bytes.size());
    EXPECT_EQ(crc.HexDigest(), ZlibCrc(bytes));
}

TEST(Crc32Test, TheFoldingKernelCarriesOnFromAnyCrc) {
    if (!crc32::ProcessorHasPclmul()) {
        GTEST_SKIP() << "no PCLMULQDQ here";
    }
    std::mt19937 random(4);
    std::string bytes(1024, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    for (int round = 0; round < 200; ++round) {
        const std::uint32_t start = static_cast<std::uint32_t>(random());
        const std::size_t size = 64 + 16 * (random() % 60);
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data()) + random() % 16;
        EXPECT_EQ(crc32::UpdatePclmul(start, data, size), crc32_z(start, data, size)) << size;
    }
}

}  // namespace
}  // namespace morcelix
