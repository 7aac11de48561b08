// Reading a PAR2 2.0 recovery set: its index (NAME.par2) and the recovery
// files beside it (NAME.vol*.par2, or any NAME.*.par2), this program's or
// another tool's. Files are scanned for packets wherever they begin, so that
// a file damaged, cut short or with bytes inserted still gives the packets
// it holds intact: a packet that fails its MD5, or whose length runs past the
// file's end, is skipped. Copies of one packet count once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pieces/par2_format.h"

namespace morcelix::par2 {

// A file of the recovery set.
struct SetFile {
    FileDescription description;
    std::vector<SliceChecksum> slices;  // empty when no checksum packet was found
    bool checksumsFound = false;
    std::string unicodeName;  // from the optional packet; "" when absent
};

// Where the data of an intact recovery slice lies.
struct RecoverySlice {
    std::uint32_t exponent = 0;
    std::string path;         // the file that holds it
    std::int64_t offset = 0;  // of its data in that file
};

struct RecoverySet {
    Md5 setId{};
    std::uint64_t sliceSize = 0;
    // The recovery set's files, in the main packet's order: that of their
    // input slices.
    std::vector<SetFile> files;
    // One for each exponent found, by increasing exponent.
    std::vector<RecoverySlice> recovery;
    std::string creator;

    // The number of slices of a file of that length.
    std::int64_t SlicesOf(std::uint64_t length) const {
        return static_cast<std::int64_t>((length + sliceSize - 1) / sliceSize);
    }
};

// The recovery files beside `indexPath` (NAME.par2): itself first when it
// exists, then the other NAME.*.par2 files in the order of their names.
std::vector<std::string> RecoveryFilesOf(const std::string& indexPath);

// Reads the set of the index `indexPath` from it and the files beside it:
// the set of the first intact main packet of the index (of a recovery file,
// when the index holds none). Raises EBadRecoveryFile naming the index when
// no intact main packet is found, or when a file of the main packet has no
// intact description. Read failures raise as the file layer does, but a
// recovery file that can not be opened is left out.
RecoverySet ReadRecoverySet(const std::string& indexPath);

}  // namespace morcelix::par2
