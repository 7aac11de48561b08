// The packets of the PAR2 2.0 format, as bytes: what a recovery set's files
// hold, written and read back. Every integer is little-endian; every packet
// begins with a 64-byte header (magic, length, the MD5 of the rest of the
// packet from the recovery set id on, the recovery set id, the type) and is a
// multiple of 4 bytes long.
//
// A set's identity: each file's id is the MD5 of its first 16 KiB's MD5, its
// length and its name; the main packet lists the ids in the format's order
// (FileIdLess), which is also the order of the input slices and so of their
// constants; the recovery set id is the MD5 of the main packet's body.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pieces/digest.h"
#include "pieces/md5_lanes.h"

namespace morcelix::par2 {

using Md5 = std::array<std::uint8_t, 16>;

// The MD5 of bytes, through the project's digests.
Md5 Md5Of(const void* data, std::size_t size);
// The end of a digest as bytes (Digest gives hexadecimal digits).
Md5 Md5Bytes(Digest& md5);

inline constexpr std::size_t kHeaderSize = 64;
// How much of a file its 16k MD5 covers (all of it when shorter).
inline constexpr std::int64_t kHashedHead = 16384;
// The body of a recovery slice packet before its data: the exponent.
inline constexpr std::size_t kRecoveryPrefix = 4;

enum class PacketType { Main, FileDescription, SliceChecksums, Recovery, Creator, UnicodeName };
// The 16 bytes that name a packet type.
std::string_view TypeTag(PacketType type);

struct MainPacket {
    std::uint64_t sliceSize = 0;
    std::vector<Md5> files;       // the recovery set, in the format's order
    std::vector<Md5> otherFiles;  // the non-recovery set (never written here)
};

struct FileDescription {
    Md5 fileId{};
    Md5 hash{};     // of the whole file
    Md5 hash16k{};  // of its first 16 KiB
    std::uint64_t length = 0;
    std::string name;  // as stored: bytes, no folder (this program writes UTF-8)
};

struct SliceChecksum {
    Md5 md5{};  // of the slice, zero-padded to the slice size
    std::uint32_t crc = 0;
};

// The order of file ids in the main packet and of the input slices: as
// 128-bit unsigned integers stored little-endian, smallest first.
bool FileIdLess(const Md5& a, const Md5& b);
Md5 FileIdOf(const Md5& hash16k, std::uint64_t length, std::string_view name);
// The MD5 of the main packet's body.
Md5 RecoverySetIdOf(const MainPacket& main);

// Whole packets, their MD5 computed.
std::string MainPacketBytes(const MainPacket& main);
std::string FileDescriptionPacketBytes(const Md5& setId, const FileDescription& file);
std::string SliceChecksumPacketBytes(const Md5& setId, const Md5& fileId,
                                     const std::vector<SliceChecksum>& slices);
// `name` as UTF-16LE; nothing when `utf8` is not valid UTF-8.
std::optional<std::string> UnicodeNamePacketBytes(const Md5& setId, const Md5& fileId,
                                                  std::string_view utf8);
std::string CreatorPacketBytes(const Md5& setId, std::string_view creator);

// The MD5 of a recovery slice packet, computed along its data: the set id,
// the type and the exponent first, then the data as it comes.
class RecoveryPacketHash {
  public:
    RecoveryPacketHash(const Md5& setId, std::uint32_t exponent);
    void Update(const void* data, std::size_t size) { md5_.Update(data, size); }
    // For the MD5s of several packets side by side (md5_lanes.h).
    Md5Stream& Stream() { return md5_; }
    Md5 Finish() const { return md5_.Digest(); }

  private:
    Md5Stream md5_;
};
// The 68 bytes before a recovery slice's data: header and exponent.
std::string RecoveryPacketHead(const Md5& setId, std::uint32_t exponent, std::uint64_t sliceSize,
                               const Md5& packetHash);

// One packet's header as read.
struct PacketHeader {
    std::uint64_t length = 0;  // the whole packet's
    Md5 hash{};
    Md5 setId{};
    std::optional<PacketType> type;  // nothing for a type this program does not know
};
// The header at the start of `bytes` (kHeaderSize of them); nothing when the
// magic is not there, or the length is impossible (under 64 bytes, not a
// multiple of 4).
std::optional<PacketHeader> ParseHeader(std::string_view bytes);
// Whether `packet` (a whole one) carries the MD5 its header says.
bool PacketHashMatches(std::string_view packet);

// Beyond these, a slice size or a file length read is taken for damage: the
// arithmetic on them stays far from overflowing.
inline constexpr std::uint64_t kLargestSlice = std::uint64_t{1} << 40;
inline constexpr std::uint64_t kLargestFile = std::uint64_t{1} << 56;

// Packet bodies (after the header) as read; nothing when malformed.
std::optional<MainPacket> ParseMain(std::string_view body);
std::optional<FileDescription> ParseFileDescription(std::string_view body);
// The file id and the checksums of its slices.
std::optional<std::pair<Md5, std::vector<SliceChecksum>>> ParseSliceChecksums(
    std::string_view body);
// The file id and the name, back in UTF-8.
std::optional<std::pair<Md5, std::string>> ParseUnicodeName(std::string_view body);

// The magic that begins every packet.
inline constexpr std::string_view kMagic{"PAR2\0PKT", 8};

// The name of a recovery file: "base.volFIRST+COUNT.par2", each number with
// at least two digits, as many as the largest of the set needs (`widest`
// first exponent and `widest` count).
std::string VolumeFileName(std::string_view base, std::uint32_t first, std::uint32_t count,
                           std::uint32_t widestFirst, std::uint32_t widestCount);
// How N recovery slices are spread over files, as the usual tools do: 1, 2,
// 4, 8... slices a file, the last file taking what is left. Pairs of (first
// exponent, count).
std::vector<std::pair<std::uint32_t, std::uint32_t>> VolumeLayout(std::uint32_t recoveryCount);

}  // namespace morcelix::par2
