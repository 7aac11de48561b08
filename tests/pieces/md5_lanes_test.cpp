// The MD5 of several streams side by side, every kernel against the
// platform's own MD5 (digest.h): streams of every length around the block
// and padding boundaries, fed in pieces of any size, more streams than a
// kernel has lanes and of lengths that part at every block, prefixes taken
// along the way.
#include "pieces/md5_lanes.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pieces/digest.h"

namespace morcelix {
namespace {

std::string Hex(const std::array<std::uint8_t, 16>& digest) {
    return HexText(digest.data(), digest.size());
}

std::string LibraryMd5(const std::string& bytes) {
    Digest md5(DigestKind::Md5);
    md5.Update(bytes.data(), bytes.size());
    return md5.HexDigest();
}

std::string RandomBytes(std::mt19937& random, std::size_t size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

TEST(Md5LanesTest, OneStreamGivesTheKnownDigestsAndThoseOfTheLibraryAtEveryLength) {
    Md5Stream empty;
    EXPECT_EQ(Hex(empty.Digest()), "d41d8cd98f00b204e9800998ecf8427e");
    Md5Stream abc;
    abc.Update("abc", 3);
    EXPECT_EQ(Hex(abc.Digest()), "900150983cd24fb0d6963f7d28e17f72");
    std::mt19937 random(3);
    const std::string bytes = RandomBytes(random, 300);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        Md5Stream stream;
        // In two parts, split anywhere.
        const std::size_t first = length == 0 ? 0 : random() % length;
        stream.Update(bytes.data(), first);
        stream.Update(bytes.data() + first, length - first);
        EXPECT_EQ(stream.Length(), length);
        EXPECT_EQ(Hex(stream.Digest()), LibraryMd5(bytes.substr(0, length))) << length;
    }
}

TEST(Md5LanesTest, EveryKernelHashesManyStreamsFedTogetherAsTheLibraryDoes) {
    ASSERT_FALSE(AvailableMd5Kernels().empty());
    EXPECT_EQ(AvailableMd5Kernels().back(), ActiveMd5Kernel());
    std::mt19937 random(11);
    for (const Md5Kernel kernel : AvailableMd5Kernels()) {
        SCOPED_TRACE(std::string(Md5KernelName(kernel)));
        const std::size_t lanes = Md5KernelLanes(kernel);
        // Fewer streams than lanes, as many, and more, of lengths that differ
        // by a few blocks or a few bytes, so that lanes end at every call.
        for (const std::size_t count : {std::size_t{2}, lanes, 2 * lanes + 3}) {
            std::vector<std::string> bytes;
            for (std::size_t s = 0; s < count; ++s) {
                bytes.push_back(RandomBytes(random, 64 * (random() % 40) + random() % 130));
            }
            std::vector<std::unique_ptr<Md5Stream>> streams;
            std::vector<std::size_t> done(count);
            std::vector<std::string> prefixes(count), prefixDigests(count);
            for (std::size_t s = 0; s < count; ++s) {
                streams.push_back(std::make_unique<Md5Stream>());
            }
            for (bool left = true; left;) {
                left = false;
                std::vector<Md5Stream*> batch;
                std::vector<const std::uint8_t*> data;
                std::vector<std::size_t> sizes;
                for (std::size_t s = 0; s < count; ++s) {
                    const std::size_t size =
                        std::min<std::size_t>(bytes[s].size() - done[s], random() % 700);
                    batch.push_back(streams[s].get());
                    data.push_back(reinterpret_cast<const std::uint8_t*>(bytes[s].data()) +
                                   done[s]);
                    sizes.push_back(size);
                    done[s] += size;
                    left = left || done[s] < bytes[s].size();
                }
                Md5UpdateStreamsWith(kernel, batch.data(), data.data(), sizes.data(), batch.size());
                // A prefix of one stream, taken as it goes on.
                const std::size_t s = random() % count;
                prefixes[s] = bytes[s].substr(0, done[s]);
                prefixDigests[s] = Hex(streams[s]->Digest());
            }
            for (std::size_t s = 0; s < count; ++s) {
                EXPECT_EQ(Hex(streams[s]->Digest()), LibraryMd5(bytes[s])) << s;
                if (!prefixDigests[s].empty()) {
                    EXPECT_EQ(prefixDigests[s], LibraryMd5(prefixes[s])) << s;
                }
            }
        }
    }
}

TEST(Md5LanesTest, StreamsOfLongBlocksAtOddAddressesMatchTheLibrary) {
    // Large updates at addresses of every alignment, as reads into buffers
    // bring them.
    std::mt19937 random(5);
    const std::string bytes = RandomBytes(random, (1 << 20) + 64);
    for (const Md5Kernel kernel : AvailableMd5Kernels()) {
        SCOPED_TRACE(std::string(Md5KernelName(kernel)));
        const std::size_t count = Md5KernelLanes(kernel) + 1;
        std::vector<Md5Stream> streams(count);
        std::vector<Md5Stream*> batch;
        std::vector<const std::uint8_t*> data;
        std::vector<std::size_t> sizes;
        for (std::size_t s = 0; s < count; ++s) {
            batch.push_back(&streams[s]);
            data.push_back(reinterpret_cast<const std::uint8_t*>(bytes.data()) + s % 61);
            sizes.push_back((1 << 20) - s);
        }
        Md5UpdateStreamsWith(kernel, batch.data(), data.data(), sizes.data(), count);
        for (std::size_t s = 0; s < count; ++s) {
            EXPECT_EQ(Hex(streams[s].Digest()), LibraryMd5(bytes.substr(s % 61, sizes[s])));
        }
    }
}

}  // namespace
}  // namespace morcelix
