// The checksum files that come with piece sets, other tools' as well as this
// program's, and what each vouches for (a Manifest). Beside a set named `base`
// (pieces base.001...), they are looked for in this order:
//   base.sha256, base.sha512, base.sha1, base.md5
//       lists as sha256sum and its kin write them, one file a line:
//       "<hex><2 spaces>name" (text mode), "<hex> *name" (binary mode), or
//       the BSD form "SHA256 (name) = <hex>" (MD5, SHA1, SHA256, SHA512: the
//       algorithm of the file's extension); a "\" before a line marks a name
//       with escapes ("\\", "\n", "\r"); lines that begin with "#" are comments;
//   base.sfv
//       "name <8 hex digits>" lines, the CRC-32 of each file; lines that begin
//       with ";" are comments, blank lines are skipped;
//   base.crc
//       the whole file's "filename=name", "size=<bytes>" and "crc32=<8 hex
//       digits>" lines, in any order, as two-panel file managers write them
//       beside their pieces; blank lines are skipped.
// A list names pieces (base.001...), or the whole file (base), or both, each
// once and in any order; the pieces named are 1 to n, none left out. Names are
// given without their folder and compared as the file system compares them
// (SameEntryName); hexadecimal digits may be in either case. Lines may end in
// CRLF, and a UTF-8 byte order mark may begin the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pieces/manifest.h"
#include "pieces/progress.h"

namespace morcelix {

// The first checksum file that stands beside the set named `base`, read;
// nothing when there is none. Raises EBadManifest, naming that file, when it
// can not be read or is not a file of its format about that set.
std::optional<Manifest> ReadChecksumFile(const std::string& base);

// The checksum file `path` beside the set named `base` (one of the names
// looked for, as ManifestPath or CrcFilePath give them), read: nothing when
// it does not stand; EBadManifest as ReadChecksumFile raises it.
std::optional<Manifest> ReadChecksumFileNamed(const std::string& base, const std::string& path);

// Whether the checksum file `path` beside the set named `base` (one of the
// names looked for, as ManifestPath or CrcFilePath give them) stands and reads
// as a file of its format about that set. Raises nothing.
bool ChecksumFileStands(const std::string& base, const std::string& path);

// Where the .crc file of the set named `base` stands.
std::string CrcFilePath(std::string_view base);

// Writes the .crc file of `base` for a whole file of `size` bytes whose CRC-32
// is `crc` (8 hexadecimal digits), written in upper case with CRLF line ends,
// as the file managers that check it write theirs. Raises EFCreateError when
// the file's name holds a line end, which the format can not hold.
void WriteCrcFile(const std::string& base, std::int64_t size, const std::string& crc);

// Deletes the checksum files that a split writes beside the set named `base`
// (its manifest and its .crc file), an earlier split's, which would no longer
// describe the set; tells `progress` of each.
void RemoveChecksumFiles(const std::string& base, ProgressSink& progress);

// Writes `text` as the file `path` under a temporary name beside it, flushed,
// then renames it into place and flushes the folder: a checksum file never
// describes a set whose writing did not end, and once this returns it is on
// the disk. Raises the file layer's failures.
void WriteChecksumFile(const std::string& path, const std::string& text);

}  // namespace morcelix
