// CRC-32 as zlib computes it, for the tests that write the checksum files of
// other tools themselves: a reference apart from the program's own digests.
#pragma once

#include <zlib.h>

#include <cstdio>
#include <string>

namespace morcelix::testing {

// zlib's CRC-32 of `bytes`, as 8 lowercase hexadecimal digits.
inline std::string ZlibCrc(const std::string& bytes) {
    char text[9];
    std::snprintf(
        text, sizeof text, "%08lx",
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
    return text;
}

}  // namespace morcelix::testing
