// Where split and join report how far they are, and what they do to the disk.
#pragma once

#include <cstdint>
#include <string>

namespace morcelix {

class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    // A whole percentage, 0 to 100, after each piece.
    virtual void SetPosition(int percent) = 0;
    // After every block of data copied: a chance to keep an interface alive
    // during a long piece. May raise to stop the operation (an interruption):
    // the operation then ends as on any other failure.
    virtual void BlockCopied() {}
    // A file the operation has just created (a piece, a destination) or deleted.
    virtual void FileCreated(const std::string& /*path*/) {}
    virtual void FileDeleted(const std::string& /*path*/) {}
};

// done / total * 100, rounded to the nearest whole number with halves going to
// the even neighbour; exact for any sizes, and 100 when total is 0.
// Requires 0 <= done <= total.
int Percent(std::int64_t done, std::int64_t total);

}  // namespace morcelix
