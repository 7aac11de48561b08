#include "pieces/par2_format.h"

#include <algorithm>
#include <cstring>

namespace morcelix::par2 {

namespace {

void PutU32(std::string& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes += static_cast<char>(value >> (8 * i));
    }
}

void PutU64(std::string& bytes, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>(value >> (8 * i));
    }
}

void PutMd5(std::string& bytes, const Md5& md5) {
    bytes.append(reinterpret_cast<const char*>(md5.data()), md5.size());
}

std::uint64_t GetU64(std::string_view bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

std::uint32_t GetU32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

Md5 GetMd5(std::string_view bytes, std::size_t at) {
    Md5 md5;
    std::memcpy(md5.data(), bytes.data() + at, md5.size());
    return md5;
}

void PadTo4(std::string& bytes) {
    bytes.append((4 - bytes.size() % 4) % 4, '\0');
}

// A packet around `body`: its header, with the MD5 of set id, type and body.
std::string Packet(const Md5& setId, PacketType type, const std::string& body) {
    std::string hashed;
    PutMd5(hashed, setId);
    hashed += TypeTag(type);
    hashed += body;
    std::string packet(kMagic);
    PutU64(packet, kHeaderSize + body.size());
    PutMd5(packet, Md5Of(hashed.data(), hashed.size()));
    packet += hashed;
    return packet;
}

constexpr PacketType kTypes[] = {PacketType::Main,           PacketType::FileDescription,
                                 PacketType::SliceChecksums, PacketType::Recovery,
                                 PacketType::Creator,        PacketType::UnicodeName};

// UTF-8 to UTF-16LE bytes; nothing for bytes that are not UTF-8.
std::optional<std::string> Utf16Of(std::string_view utf8) {
    std::string out;
    auto unit = [&out](std::uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const std::uint8_t lead = static_cast<std::uint8_t>(utf8[i]);
        const int extra = lead < 0x80         ? 0
                          : (lead >> 5) == 6  ? 1
                          : (lead >> 4) == 14 ? 2
                          : (lead >> 3) == 30 ? 3
                                              : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= utf8.size() + (extra == 0)) {
            return std::nullopt;
        }
        std::uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const std::uint8_t next = static_cast<std::uint8_t>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = code << 6 | (next & 0x3F);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            return std::nullopt;
        }
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
        i += 1 + extra;
    }
    return out;
}

// UTF-16LE bytes to UTF-8; nothing for unpaired surrogates.
std::optional<std::string> Utf8Of(std::string_view utf16) {
    std::string out;
    const std::size_t units = utf16.size() / 2;
    auto at = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(utf16[2 * k]) |
                                          static_cast<std::uint8_t>(utf16[2 * k + 1]) << 8);
    };
    for (std::size_t k = 0; k < units; ++k) {
        std::uint32_t code = at(k);
        if (code >= 0xD800 && code < 0xDC00) {
            if (k + 1 >= units || at(k + 1) < 0xDC00 || at(k + 1) >= 0xE000) {
                return std::nullopt;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (at(++k) - 0xDC00);
        } else if (code >= 0xDC00 && code < 0xE000) {
            return std::nullopt;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// A name field: the bytes up to the first NUL of the padding.
std::string NameField(std::string_view bytes) {
    const std::size_t end = bytes.find('\0');
    return std::string(bytes.substr(0, end));
}

}  // namespace

Md5 Md5Of(const void* data, std::size_t size) {
    Digest md5(DigestKind::Md5);
    md5.Update(data, size);
    return Md5Bytes(md5);
}

Md5 Md5Bytes(Digest& md5) {
    const std::string hex = md5.HexDigest();
    Md5 bytes{};
    auto value = [](char digit) { return digit <= '9' ? digit - '0' : digit - 'a' + 10; };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(value(hex[2 * i]) << 4 | value(hex[2 * i + 1]));
    }
    return bytes;
}

std::string_view TypeTag(PacketType type) {
    using namespace std::string_view_literals;
    switch (type) {
        case PacketType::Main:
            return "PAR 2.0\0Main\0\0\0\0"sv;
        case PacketType::FileDescription:
            return "PAR 2.0\0FileDesc"sv;
        case PacketType::SliceChecksums:
            return "PAR 2.0\0IFSC\0\0\0\0"sv;
        case PacketType::Recovery:
            return "PAR 2.0\0RecvSlic"sv;
        case PacketType::Creator:
            return "PAR 2.0\0Creator\0"sv;
        case PacketType::UnicodeName:
            return "PAR 2.0\0UniFileN"sv;
    }
    return {};
}

bool FileIdLess(const Md5& a, const Md5& b) {
    for (int i = 15; i >= 0; --i) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

Md5 FileIdOf(const Md5& hash16k, std::uint64_t length, std::string_view name) {
    std::string bytes;
    PutMd5(bytes, hash16k);
    PutU64(bytes, length);
    bytes += name;
    return Md5Of(bytes.data(), bytes.size());
}

namespace {

std::string MainBody(const MainPacket& main) {
    std::string body;
    PutU64(body, main.sliceSize);
    PutU32(body, static_cast<std::uint32_t>(main.files.size()));
    for (const Md5& id : main.files) {
        PutMd5(body, id);
    }
    for (const Md5& id : main.otherFiles) {
        PutMd5(body, id);
    }
    return body;
}

}  // namespace

Md5 RecoverySetIdOf(const MainPacket& main) {
    const std::string body = MainBody(main);
    return Md5Of(body.data(), body.size());
}

std::string MainPacketBytes(const MainPacket& main) {
    return Packet(RecoverySetIdOf(main), PacketType::Main, MainBody(main));
}

std::string FileDescriptionPacketBytes(const Md5& setId, const FileDescription& file) {
    std::string body;
    PutMd5(body, file.fileId);
    PutMd5(body, file.hash);
    PutMd5(body, file.hash16k);
    PutU64(body, file.length);
    body += file.name;
    PadTo4(body);
    return Packet(setId, PacketType::FileDescription, body);
}

std::string SliceChecksumPacketBytes(const Md5& setId, const Md5& fileId,
                                     const std::vector<SliceChecksum>& slices) {
    std::string body;
    PutMd5(body, fileId);
    for (const SliceChecksum& slice : slices) {
        PutMd5(body, slice.md5);
        PutU32(body, slice.crc);
    }
    return Packet(setId, PacketType::SliceChecksums, body);
}

std::optional<std::string> UnicodeNamePacketBytes(const Md5& setId, const Md5& fileId,
                                                  std::string_view utf8) {
    const std::optional<std::string> name = Utf16Of(utf8);
    if (!name) {
        return std::nullopt;
    }
    std::string body;
    PutMd5(body, fileId);
    body += *name;
    PadTo4(body);
    return Packet(setId, PacketType::UnicodeName, body);
}

std::string CreatorPacketBytes(const Md5& setId, std::string_view creator) {
    std::string body(creator);
    PadTo4(body);
    return Packet(setId, PacketType::Creator, body);
}

RecoveryPacketHash::RecoveryPacketHash(const Md5& setId, std::uint32_t exponent) {
    std::string prefix;
    PutMd5(prefix, setId);
    prefix += TypeTag(PacketType::Recovery);
    PutU32(prefix, exponent);
    md5_.Update(prefix.data(), prefix.size());
}

std::string RecoveryPacketHead(const Md5& setId, std::uint32_t exponent, std::uint64_t sliceSize,
                               const Md5& packetHash) {
    std::string head(kMagic);
    PutU64(head, kHeaderSize + kRecoveryPrefix + sliceSize);
    PutMd5(head, packetHash);
    PutMd5(head, setId);
    head += TypeTag(PacketType::Recovery);
    PutU32(head, exponent);
    return head;
}

std::optional<PacketHeader> ParseHeader(std::string_view bytes) {
    if (bytes.size() < kHeaderSize || bytes.substr(0, kMagic.size()) != kMagic) {
        return std::nullopt;
    }
    PacketHeader header;
    header.length = GetU64(bytes, 8);
    if (header.length < kHeaderSize || header.length % 4 != 0) {
        return std::nullopt;
    }
    header.hash = GetMd5(bytes, 16);
    header.setId = GetMd5(bytes, 32);
    const std::string_view tag = bytes.substr(48, 16);
    for (const PacketType type : kTypes) {
        if (tag == TypeTag(type)) {
            header.type = type;
        }
    }
    return header;
}

bool PacketHashMatches(std::string_view packet) {
    if (packet.size() < kHeaderSize) {
        return false;
    }
    const std::string_view hashed = packet.substr(32);
    return Md5Of(hashed.data(), hashed.size()) == GetMd5(packet, 16);
}

std::optional<MainPacket> ParseMain(std::string_view body) {
    if (body.size() < 12 || (body.size() - 12) % 16 != 0) {
        return std::nullopt;
    }
    MainPacket main;
    main.sliceSize = GetU64(body, 0);
    const std::uint32_t count = GetU32(body, 8);
    const std::size_t ids = (body.size() - 12) / 16;
    if (main.sliceSize == 0 || main.sliceSize % 4 != 0 || main.sliceSize > kLargestSlice ||
        count > ids) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < ids; ++i) {
        (i < count ? main.files : main.otherFiles).push_back(GetMd5(body, 12 + 16 * i));
    }
    return main;
}

std::optional<FileDescription> ParseFileDescription(std::string_view body) {
    if (body.size() < 56) {
        return std::nullopt;
    }
    FileDescription file;
    file.fileId = GetMd5(body, 0);
    file.hash = GetMd5(body, 16);
    file.hash16k = GetMd5(body, 32);
    file.length = GetU64(body, 48);
    if (file.length > kLargestFile) {
        return std::nullopt;
    }
    file.name = NameField(body.substr(56));
    return file;
}

std::optional<std::pair<Md5, std::vector<SliceChecksum>>> ParseSliceChecksums(
    std::string_view body) {
    if (body.size() < 16 || (body.size() - 16) % 20 != 0) {
        return std::nullopt;
    }
    std::vector<SliceChecksum> slices((body.size() - 16) / 20);
    for (std::size_t i = 0; i < slices.size(); ++i) {
        slices[i].md5 = GetMd5(body, 16 + 20 * i);
        slices[i].crc = GetU32(body, 32 + 20 * i);
    }
    return std::pair{GetMd5(body, 0), std::move(slices)};
}

std::optional<std::pair<Md5, std::string>> ParseUnicodeName(std::string_view body) {
    if (body.size() < 16) {
        return std::nullopt;
    }
    std::string_view name = body.substr(16);
    // The padding: trailing NUL units.
    while (name.size() >= 2 && name[name.size() - 1] == '\0' && name[name.size() - 2] == '\0') {
        name.remove_suffix(2);
    }
    std::optional<std::string> utf8 = Utf8Of(name.substr(0, name.size() & ~std::size_t{1}));
    if (!utf8) {
        return std::nullopt;
    }
    return std::pair{GetMd5(body, 0), std::move(*utf8)};
}

std::string VolumeFileName(std::string_view base, std::uint32_t first, std::uint32_t count,
                           std::uint32_t widestFirst, std::uint32_t widestCount) {
    auto digits = [](std::uint32_t value) {
        std::size_t n = 1;
        while (value >= 10) {
            value /= 10;
            ++n;
        }
        return std::max<std::size_t>(n, 2);
    };
    auto padded = [](std::uint32_t value, std::size_t width) {
        std::string text = std::to_string(value);
        return std::string(width > text.size() ? width - text.size() : 0, '0') + text;
    };
    return std::string(base) + ".vol" + padded(first, digits(widestFirst)) + "+" +
           padded(count, digits(widestCount)) + ".par2";
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> VolumeLayout(std::uint32_t recoveryCount) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> files;
    std::uint32_t first = 0, size = 1;
    while (first < recoveryCount) {
        const std::uint32_t count = std::min(size, recoveryCount - first);
        files.emplace_back(first, count);
        first += count;
        if (size < (1u << 30)) {
            size *= 2;
        }
    }
    return files;
}

}  // namespace morcelix::par2
