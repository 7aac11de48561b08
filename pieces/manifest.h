// The record of a piece set's content: a SHA-256 manifest beside the pieces,
// in the text format of sha256sum, so that the system's own tools check it
// too (sha256sum -c). One line per piece in number order, then one for the
// whole file:
//   <64 lowercase hex digits><2 spaces>film.avi.001
//   ...
//   <64 lowercase hex digits><2 spaces>film.avi
// Names are given without their folder, so that the set can be moved; UTF-8,
// LF line ends. A name holding "\", a line feed or a carriage return is
// escaped as sha256sum escapes it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/file_stream.h"

namespace morcelix {

class Sha256;

struct Manifest {
    std::vector<std::string> pieces;  // each piece's digest, from piece 1 on
    std::string whole;                // the whole file's digest
    bool operator==(const Manifest&) const = default;
};

// Where the manifest of the set named `base` (pieces base.001...) stands.
std::string ManifestPath(std::string_view base);

// The manifest of the set named `base`; nothing when there is no file of that
// name. Raises EBadManifest when it can not be read, or is not a manifest of
// that set: every line a digest, two spaces (or a space and "*", sha256sum's
// binary mode) and a name; the pieces base.001 on in number order, then the
// whole file. Lines may end in CRLF, as other tools on Windows write them;
// names are compared as the file system compares them.
std::optional<Manifest> ReadManifest(const std::string& base);

// Writes the manifest of `base` under a temporary name, then renames it into
// place: a manifest never describes a set whose writing did not end.
void WriteManifest(const std::string& base, const Manifest& manifest);

// Removes the manifest of `base`; whether there was one to remove.
bool RemoveManifest(const std::string& base);

// The digest of a whole file's content; its bytes go into `alsoInto` too,
// when given (the whole file's digest of a set read piece after piece).
// Raises the file layer's failures.
std::string FileDigest(const std::string& path, Sha256* alsoInto = nullptr);

// The inspectors that hash what is copied into a piece's digest and into the
// whole file's, on two lanes of an InspectedCopier (kDigestLanes).
inline constexpr std::size_t kDigestLanes = 2;
InspectedCopier::Inspectors Digests(Sha256& piece, Sha256& whole);

// Hashes the next `count` bytes of `stream`, from its position, into each of
// `digests`. Raises EReadError when the stream holds fewer.
void HashNext(TStream& stream, std::int64_t count, std::initializer_list<Sha256*> digests);

}  // namespace morcelix
