// What a checksum file beside a piece set vouches for, and the one this
// program writes: a SHA-256 manifest in the text format of sha256sum, so that
// the system's own tools check it too (sha256sum -c). One line per piece in
// number order, then one for the whole file:
//   <64 lowercase hex digits><2 spaces>film.avi.001
//   ...
//   <64 lowercase hex digits><2 spaces>film.avi
// Names are given without their folder, so that the set can be moved; UTF-8,
// LF line ends. A name holding "\", a line feed or a carriage return is
// escaped as sha256sum escapes it. The checksum files of other tools, and
// how each is read, are in checksum_files.h.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/digest.h"
#include "pieces/file_stream.h"

namespace morcelix {

// What a set's checksum file vouches for: each piece's digest, or the whole
// file's only, or both.
struct Manifest {
    // The file read; empty for a manifest being written.
    std::string path;
    DigestKind kind = DigestKind::Sha256;
    // Each piece's digest, from piece 1 on: the set is these pieces. Empty
    // when the file names the whole file only, whose sum then can not vouch
    // for any piece before the last one is read.
    std::vector<std::string> pieces;
    // The whole file's digest; empty when the file does not name it.
    std::string whole;
    // The whole file's size, when the file gives it.
    std::optional<std::int64_t> size;

    bool VouchesForPieces() const { return !pieces.empty(); }
    bool operator==(const Manifest&) const = default;
};

// Where the manifest of the set named `base` (pieces base.001...) stands.
std::string ManifestPath(std::string_view base);

// Writes the manifest of `base` (its pieces' digests and the whole file's,
// SHA-256) under a temporary name, then renames it into place: a manifest
// never describes a set whose writing did not end.
void WriteManifest(const std::string& base, const Manifest& manifest);

// The digest of `kind` of a whole file's content; its bytes go into
// `alsoInto` too, when given (the whole file's digest of a set read piece
// after piece). Raises the file layer's failures.
std::string FileDigest(const std::string& path, DigestKind kind = DigestKind::Sha256,
                       Digest* alsoInto = nullptr);

// The inspectors that hash what is copied into each of `digests`, one on each
// lane of an InspectedCopier (as many lanes as digests): a piece's digest and
// the whole file's (kDigestLanes), say.
inline constexpr std::size_t kDigestLanes = 2;
InspectedCopier::Inspectors Digests(const std::vector<Digest*>& digests);

// Hashes the next `count` bytes of `stream`, from its position, into each of
// `digests`, side by side on the processor's cores when there are several
// and the bytes are more than kLanesFrom blocks (below that, starting the
// threads would cost more than it saves); `afterBlock`, when given, follows
// each block. Raises EReadError when the stream holds fewer.
inline constexpr std::int64_t kLanesFrom = 4;
void HashNext(TStream& stream, std::int64_t count, std::initializer_list<Digest*> digests,
              const BlockObserver& afterBlock = {});

}  // namespace morcelix
