#include "pieces/manifest.h"

#include <algorithm>
#include <cctype>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "pieces/sha256.h"

namespace morcelix {

namespace {

constexpr std::size_t kDigestLength = 64;
// A manifest is a line per piece: anything larger is not one.
constexpr std::int64_t kLargestManifest = std::int64_t{64} << 20;

std::string FileNameOf(const std::string& path) {
    return path.substr(FolderPart(path).size());
}

// A name as sha256sum writes it; true when it had to be escaped.
bool Escaped(const std::string& name, std::string& written) {
    written.clear();
    bool escaped = false;
    for (const char c : name) {
        switch (c) {
            case '\\':
                written += "\\\\";
                escaped = true;
                break;
            case '\n':
                written += "\\n";
                escaped = true;
                break;
            case '\r':
                written += "\\r";
                escaped = true;
                break;
            default:
                written += c;
        }
    }
    return escaped;
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

struct Line {
    std::string digest;
    std::string name;
};

std::optional<Line> ParseLine(std::string_view text) {
    const bool escaped = text.starts_with('\\');
    if (escaped) {
        text.remove_prefix(1);
    }
    if (text.size() < kDigestLength + 3 || text[kDigestLength] != ' ' ||
        (text[kDigestLength + 1] != ' ' && text[kDigestLength + 1] != '*')) {
        return std::nullopt;
    }
    Line line;
    for (const char c : text.substr(0, kDigestLength)) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        line.digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::string_view name = text.substr(kDigestLength + 2);
    if (!escaped) {
        line.name = name;
        return line;
    }
    const auto plain = Unescaped(name);
    if (!plain) {
        return std::nullopt;
    }
    line.name = *plain;
    return line;
}

std::string ReadWhole(const std::string& path) {
    TFileStream file(path, OpenMode::Read);
    const std::int64_t size = file.Size();
    if (size > kLargestManifest) {
        throw EBadManifest(path);
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    file.ReadBuffer(text.data(), static_cast<std::int32_t>(size));
    return text;
}

}  // namespace

std::string ManifestPath(std::string_view base) {
    return std::string(base) + ".sha256";
}

std::optional<Manifest> ReadManifest(const std::string& base) {
    const std::string path = ManifestPath(base);
    if (!FileExists(path)) {
        return std::nullopt;
    }
    std::string text;
    try {
        text = ReadWhole(path);
    } catch (const Failure&) {
        throw EBadManifest(path);
    }
    std::vector<Line> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();  // a last line without its line feed
        }
        std::string_view line(text.data() + start, end - start);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const auto parsed = ParseLine(line);
        if (!parsed) {
            throw EBadManifest(path);
        }
        lines.push_back(*parsed);
        start = end + 1;
    }
    if (lines.size() < 2 || !SameEntryName(lines.back().name, FileNameOf(base))) {
        throw EBadManifest(path);
    }
    Manifest manifest;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (!SameEntryName(lines[i].name, FileNameOf(PieceName(base, i + 1)))) {
            throw EBadManifest(path);
        }
        manifest.pieces.push_back(lines[i].digest);
    }
    manifest.whole = lines.back().digest;
    return manifest;
}

void WriteManifest(const std::string& base, const Manifest& manifest) {
    std::string text;
    std::string name;
    const auto add = [&](const std::string& digest, const std::string& path) {
        if (Escaped(FileNameOf(path), name)) {
            text += '\\';
        }
        text += digest + "  " + name + "\n";
    };
    for (std::size_t i = 0; i < manifest.pieces.size(); ++i) {
        add(manifest.pieces[i], PieceName(base, i + 1));
    }
    add(manifest.whole, base);

    const std::string path = ManifestPath(base);
    const std::string partial = path + ".part";
    {
        TFileStream file(partial, OpenMode::Create);
        try {
            file.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
        } catch (const Failure&) {
            file.RemoveWhileOpen(partial);
            throw;
        }
    }
    if (!RenameFile(partial, path)) {
        RemoveFile(partial);
        throw EFCreateError(path);
    }
}

bool RemoveManifest(const std::string& base) {
    const std::string path = ManifestPath(base);
    return FileExists(path) && RemoveFile(path);
}

}  // namespace morcelix

namespace morcelix {

std::string FileDigest(const std::string& path, Sha256* alsoInto) {
    TFileStream file(path, OpenMode::Read);
    Sha256 digest;
    if (alsoInto != nullptr) {
        HashNext(file, file.Size(), {&digest, alsoInto});
    } else {
        HashNext(file, file.Size(), {&digest});
    }
    return digest.HexDigest();
}

InspectedCopier::Inspectors Digests(Sha256& piece, Sha256& whole) {
    const auto into = [](Sha256& digest) {
        return std::make_shared<const BlockInspector>(
            [&digest](const char* data, std::int32_t size) {
                digest.Update(data, static_cast<std::size_t>(size));
            });
    };
    return {into(piece), into(whole)};
}

void HashNext(TStream& stream, std::int64_t count, std::initializer_list<Sha256*> digests) {
    std::vector<char> buffer(static_cast<std::size_t>(
        std::min<std::int64_t>(std::max<std::int64_t>(count, 0), kInspectedCopyBlock)));
    while (count > 0) {
        const auto block =
            static_cast<std::int32_t>(std::min<std::int64_t>(count, kInspectedCopyBlock));
        stream.ReadBuffer(buffer.data(), block);
        for (Sha256* digest : digests) {
            digest->Update(buffer.data(), static_cast<std::size_t>(block));
        }
        count -= block;
    }
}

}  // namespace morcelix
