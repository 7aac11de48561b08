#include "pieces/checksum_files.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <vector>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/notice.h"
#include "pieces/par2_create.h"
#include "pieces/par2_reader.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

// A checksum file is a line a file: anything larger is not one.
constexpr std::int64_t kLargestChecksumFile = std::int64_t{64} << 20;

using Lines = std::vector<std::string_view>;

// One file that a checksum file names, and its digest in lowercase.
struct Entry {
    std::string name;
    std::string digest;
};

// What a checksum file's lines say, before the names are matched to the set.
struct Reading {
    std::vector<Entry> entries;
    std::optional<std::int64_t> size;  // the whole file's, in a .crc file
};

struct Format;
// Reads the lines of one format; nothing when they are not of that format.
using LinesReader = std::optional<Reading> (*)(const Lines& lines, const Format& format);

struct Format {
    std::string_view extension;
    DigestKind kind;
    LinesReader read;
    std::string_view bsdTag;  // the algorithm's name in a list's BSD lines
};

// `text` of exactly `length` hexadecimal digits, in lowercase.
std::optional<std::string> HexDigits(std::string_view text, std::size_t length) {
    if (text.size() != length) {
        return std::nullopt;
    }
    std::string digits;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digits;
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

// The name an escaped line holds; nothing for an escape sha256sum never writes.
std::optional<std::string> Unescaped(std::string_view name) {
    std::string plain;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '\\') {
            plain += name[i];
            continue;
        }
        if (++i == name.size()) {
            return std::nullopt;
        }
        switch (name[i]) {
            case '\\':
                plain += '\\';
                break;
            case 'n':
                plain += '\n';
                break;
            case 'r':
                plain += '\r';
                break;
            default:
                return std::nullopt;
        }
    }
    return plain;
}

// "<hex>  name" or "<hex> *name".
std::optional<Entry> CoreutilsLine(std::string_view line, const Format& format) {
    const std::size_t length = HexDigestLength(format.kind);
    if (line.size() < length + 3 || line[length] != ' ' ||
        (line[length + 1] != ' ' && line[length + 1] != '*')) {
        return std::nullopt;
    }
    auto digest = HexDigits(line.substr(0, length), length);
    if (!digest) {
        return std::nullopt;
    }
    return Entry{std::string(line.substr(length + 2)), std::move(*digest)};
}

// "TAG (name) = <hex>"; the name may hold ") = " itself.
std::optional<Entry> BsdLine(std::string_view line, const Format& format) {
    const std::size_t open = format.bsdTag.size() + 2;
    if (!line.starts_with(format.bsdTag) || line.substr(format.bsdTag.size(), 2) != " (") {
        return std::nullopt;
    }
    const std::size_t close = line.rfind(") = ");
    if (close == std::string_view::npos || close <= open) {
        return std::nullopt;
    }
    auto digest = HexDigits(line.substr(close + 4), HexDigestLength(format.kind));
    if (!digest) {
        return std::nullopt;
    }
    return Entry{std::string(line.substr(open, close - open)), std::move(*digest)};
}

std::optional<Reading> ReadList(const Lines& lines, const Format& format) {
    Reading reading;
    for (std::string_view line : lines) {
        if (line.starts_with('#')) {
            continue;
        }
        const bool escaped = line.starts_with('\\');
        if (escaped) {
            line.remove_prefix(1);
        }
        std::optional<Entry> entry = CoreutilsLine(line, format);
        if (!entry) {
            entry = BsdLine(line, format);
        }
        if (!entry) {
            return std::nullopt;
        }
        if (escaped) {
            const auto plain = Unescaped(entry->name);
            if (!plain) {
                return std::nullopt;
            }
            entry->name = *plain;
        }
        reading.entries.push_back(std::move(*entry));
    }
    return reading;
}

// "name <8 hex digits>", the name and the digits apart by spaces or tabs.
std::optional<Reading> ReadSfv(const Lines& lines, const Format& format) {
    Reading reading;
    for (const std::string_view line : lines) {
        if (IsBlank(line) || line.starts_with(';')) {
            continue;
        }
        const std::string_view trimmed = line.substr(0, line.find_last_not_of(" \t") + 1);
        const std::size_t gap = trimmed.find_last_of(" \t");
        if (gap == std::string_view::npos) {
            return std::nullopt;
        }
        auto digest = HexDigits(trimmed.substr(gap + 1), HexDigestLength(format.kind));
        const std::string_view name = trimmed.substr(0, trimmed.find_last_not_of(" \t", gap) + 1);
        if (!digest || name.empty()) {
            return std::nullopt;
        }
        reading.entries.push_back({std::string(name), std::move(*digest)});
    }
    return reading;
}

// "filename=", "size=" and "crc32=", each once, in any order.
std::optional<Reading> ReadWholeFileCrc(const Lines& lines, const Format& format) {
    std::optional<std::string> name, digest;
    std::optional<std::int64_t> size;
    for (const std::string_view line : lines) {
        if (IsBlank(line)) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return std::nullopt;
        }
        std::string key;
        for (const char c : line.substr(0, equals)) {
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const std::string_view value = line.substr(equals + 1);
        if (key == "filename" && !name && !value.empty()) {
            name.emplace(value);
        } else if (key == "size" && !size && !value.empty() &&
                   std::all_of(value.begin(), value.end(), [](char c) {
                       return std::isdigit(static_cast<unsigned char>(c));
                   })) {
            std::int64_t bytes = 0;
            if (std::from_chars(value.data(), value.data() + value.size(), bytes).ec !=
                std::errc()) {
                return std::nullopt;
            }
            size = bytes;
        } else if (key == "crc32" && !digest) {
            digest = HexDigits(value, HexDigestLength(format.kind));
            if (!digest) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    if (!name || !size || !digest) {
        return std::nullopt;
    }
    return Reading{{{std::move(*name), std::move(*digest)}}, size};
}

constexpr Format kFormats[] = {
    {".sha256", DigestKind::Sha256, ReadList, "SHA256"},
    {".sha512", DigestKind::Sha512, ReadList, "SHA512"},
    {".sha1", DigestKind::Sha1, ReadList, "SHA1"},
    {".md5", DigestKind::Md5, ReadList, "MD5"},
    {".sfv", DigestKind::Crc32, ReadSfv, {}},
    {".crc", DigestKind::Crc32, ReadWholeFileCrc, {}},
};

// The text's lines, without their line ends (LF or CRLF) nor a byte order mark.
Lines SplitLines(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    Lines lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// What `reading` vouches for in the set named `base`: each name is a piece,
// 1 to n, or the whole file, each once; a size goes with the whole file alone.
std::optional<Manifest> Vouched(Reading reading, const std::string& base, const Format& format,
                                const std::string& path) {
    const std::string baseName = FileNameOf(base);
    Manifest manifest;
    manifest.path = path;
    manifest.kind = format.kind;
    std::map<std::uint64_t, std::string> pieces;
    for (Entry& entry : reading.entries) {
        if (SameEntryName(entry.name, baseName)) {
            if (!manifest.whole.empty()) {
                return std::nullopt;
            }
            manifest.whole = std::move(entry.digest);
            continue;
        }
        const std::uint64_t number = PieceNumberOf(entry.name, baseName);
        if (number == 0 || !pieces.emplace(number, std::move(entry.digest)).second) {
            return std::nullopt;
        }
    }
    // Numbers from 1 on, each once: the highest is their count when none is left out.
    if (!pieces.empty() && pieces.rbegin()->first != pieces.size()) {
        return std::nullopt;
    }
    for (auto& [number, digest] : pieces) {
        manifest.pieces.push_back(std::move(digest));
    }
    if (manifest.whole.empty() && manifest.pieces.empty()) {
        return std::nullopt;
    }
    if (reading.size) {
        if (manifest.whole.empty() || manifest.VouchesForPieces()) {
            return std::nullopt;
        }
        manifest.size = reading.size;
    }
    return manifest;
}

std::string ReadText(const std::string& path) {
    TFileStream file(path, OpenMode::Read);
    const std::int64_t size = file.Size();
    if (size > kLargestChecksumFile) {
        throw EBadManifest(path);
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    file.ReadBuffer(text.data(), static_cast<std::int32_t>(size));
    return text;
}

}  // namespace

namespace {

// The checksum file of `format` beside the set named `base`, read: nothing
// when there is none; EBadManifest when it can not be read or is not a file
// of its format about that set.
std::optional<Manifest> ReadFormat(const std::string& base, const Format& format) {
    const std::string path = base + std::string(format.extension);
    if (!FileExists(path)) {
        return std::nullopt;
    }
    std::string text;
    try {
        text = ReadText(path);
    } catch (const Failure&) {
        throw EBadManifest(path);
    }
    std::optional<Reading> reading = format.read(SplitLines(text), format);
    std::optional<Manifest> manifest;
    if (reading) {
        manifest = Vouched(std::move(*reading), base, format, path);
    }
    if (!manifest) {
        throw EBadManifest(path);
    }
    return manifest;
}

}  // namespace

std::optional<Manifest> ReadChecksumFile(const std::string& base) {
    for (const Format& format : kFormats) {
        if (std::optional<Manifest> manifest = ReadFormat(base, format)) {
            return manifest;
        }
    }
    return std::nullopt;
}

std::optional<Manifest> ReadChecksumFileNamed(const std::string& base, const std::string& path) {
    for (const Format& format : kFormats) {
        if (base + std::string(format.extension) == path) {
            return ReadFormat(base, format);
        }
    }
    return std::nullopt;
}

bool ChecksumFileStands(const std::string& base, const std::string& path) {
    try {
        return ReadChecksumFileNamed(base, path).has_value();
    } catch (const Failure&) {
        return false;
    }
}

std::string CrcFilePath(std::string_view base) {
    return std::string(base) + ".crc";
}

void WriteCrcFile(const std::string& base, std::int64_t size, const std::string& crc) {
    const std::string name = FileNameOf(base);
    if (name.find_first_of("\r\n") != std::string::npos) {
        throw EFCreateError(CrcFilePath(base));
    }
    std::string digits;
    for (const char c : crc) {
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    WriteChecksumFile(CrcFilePath(base), "filename=" + name + "\r\nsize=" + std::to_string(size) +
                                             "\r\ncrc32=" + digits + "\r\n");
}

void RemoveChecksumFiles(const std::string& base, ProgressSink& progress) {
    // The recovery files of an earlier split too: over other pieces, they
    // would rebuild the new pieces into the old ones. A folder that does not
    // exist holds none, and is not read: the first piece's creation says it
    // is missing.
    const std::string folder = FolderPart(base);
    std::vector<std::string> paths;
    if (folder.empty() || EntryExists(folder)) {
        paths = par2::RecoveryFilesOf(par2::RecoveryIndexPath(base));
    }
    paths.push_back(ManifestPath(base));
    paths.push_back(CrcFilePath(base));
    paths.push_back(NoticePath(base));
    for (const std::string& path : paths) {
        if (FileExists(path) && RemoveFile(path)) {
            progress.FileDeleted(path);
        }
    }
}

void WriteChecksumFile(const std::string& path, const std::string& text) {
    ReplaceFileWith(path, text);
}

}  // namespace morcelix
