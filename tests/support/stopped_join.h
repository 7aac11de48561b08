// The record that a join keeps while it runs, for the tests that make by hand
// what such a join leaves when it stops part-way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/work_record.h"

namespace morcelix::testing {

// Writes the record of a join of the set named `base`, whose pieces have
// `sizes`, into `destination`, as a join leaves it once it has begun.
inline void RecordJoinUnderWay(const std::string& base, const std::string& destination,
                               const std::vector<std::int64_t>& sizes) {
    std::int64_t total = 0;
    for (const std::int64_t size : sizes) {
        total += size;
    }
    HeldRecord record(base, JoinRecord{.destination = AbsolutePath(destination),
                                       .working = AbsolutePath(destination),
                                       .pieces = sizes.size(),
                                       .pieceSize = sizes.front(),
                                       .total = total});
    record.Begin();
}

}  // namespace morcelix::testing
