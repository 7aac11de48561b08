#include "pieces/manifest.h"

#include <algorithm>

#include "pieces/checksum_files.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

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

}  // namespace

std::string ManifestPath(std::string_view base) {
    return std::string(base) + ".sha256";
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
    WriteChecksumFile(ManifestPath(base), text);
}

std::string FileDigest(const std::string& path, DigestKind kind, Digest* alsoInto) {
    TFileStream file(path, OpenMode::Read);
    Digest digest(kind);
    if (alsoInto != nullptr) {
        HashNext(file, file.Size(), {&digest, alsoInto});
    } else {
        HashNext(file, file.Size(), {&digest});
    }
    return digest.HexDigest();
}

InspectedCopier::Inspectors Digests(const std::vector<Digest*>& digests) {
    InspectedCopier::Inspectors inspectors;
    for (Digest* digest : digests) {
        inspectors.push_back(
            std::make_shared<const BlockInspector>([digest](const char* data, std::int32_t size) {
                digest->Update(data, static_cast<std::size_t>(size));
            }));
    }
    return inspectors;
}

void HashNext(TStream& stream, std::int64_t count, std::initializer_list<Digest*> digests,
              const BlockObserver& afterBlock) {
    // Several digests of a few blocks or more: side by side, one lane each.
    if (digests.size() > 1 && count > kLanesFrom * std::int64_t{kInspectedCopyBlock}) {
        InspectedCopier lanes(digests.size());
        lanes.Read(stream, count, Digests(std::vector<Digest*>(digests)), afterBlock);
        lanes.Wait();
        return;
    }
    std::vector<char> buffer(static_cast<std::size_t>(
        std::min<std::int64_t>(std::max<std::int64_t>(count, 0), kInspectedCopyBlock)));
    while (count > 0) {
        const auto block =
            static_cast<std::int32_t>(std::min<std::int64_t>(count, kInspectedCopyBlock));
        stream.ReadBuffer(buffer.data(), block);
        for (Digest* digest : digests) {
            digest->Update(buffer.data(), static_cast<std::size_t>(block));
        }
        count -= block;
        if (afterBlock) {
            afterBlock(count);
        }
    }
}

}  // namespace morcelix
