// Where split and join report how far they are, in bytes, and what they do to
// the disk. Each display makes its own figures from the bytes: the window's
// bar a whole percentage after each piece, the tool's line bytes and a rate.
#pragma once

#include <cstdint>
#include <string>

namespace morcelix {

class ProgressSink {
  public:
    // The total of a stream, whose end is not known beforehand.
    static constexpr std::int64_t kUnknownTotal = -1;

    // What a report of the bytes done marks.
    enum class Mark {
        Start,  // a split begins: a position shown is 0 (the source may be empty)
        Block,  // a block of data moved: a chance to keep an interface alive
        Piece,  // a piece ended: where a position is shown
    };

    virtual ~ProgressSink() = default;
    // Once, before anything is moved: the bytes the operation covers in all,
    // of which `done` were done before it began (a resumed join). May raise
    // to stop the operation before it has changed anything.
    virtual void Begin(std::int64_t total, std::int64_t done) = 0;
    // `done` bytes of the total are done. May raise to stop the operation (an
    // interruption): it then ends as on any other failure.
    virtual void Moved(std::int64_t done, Mark mark) = 0;
    // A file the operation has just created (a piece, a destination) or deleted.
    virtual void FileCreated(const std::string& /*path*/) {}
    virtual void FileDeleted(const std::string& /*path*/) {}
};

// done / total * 100, rounded to the nearest whole number with halves going to
// the even neighbour; exact for any sizes, and 100 when total is 0.
// Requires 0 <= done <= total.
int Percent(std::int64_t done, std::int64_t total);

}  // namespace morcelix
