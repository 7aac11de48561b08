// The copy that split and join make of a file's bytes: it checks that its
// source stays the file it was, and tells what happened (CheckedCopier). The
// data may be shown to inspectors as it goes (to hash it, say), each seeing
// the blocks in order, a lane; the lanes' work goes to helper threads and to
// the copy's own thread whenever it would wait, so that inspecting and
// copying share the processor's cores (InspectedCopier).
//
// The inspected copy's failure paths are as simple as a plain copy's: a
// buffer taken is always given back, whatever raises; the first failure is
// kept and never replaced; and every wait ends once no lane holds a buffer or
// uses an inspector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "pieces/file_stream.h"

namespace morcelix {

// Shown each block of data a copy moves, after it is written.
using BlockInspector = std::function<void(const char* data, std::int32_t size)>;

// The largest block an inspected copy moves at once: larger where the system
// moves larger blocks faster (1 MiB on POSIX; on Windows, kCopyBufferSize).
extern const std::int32_t kInspectedCopyBlock;

// The data goes through this program's memory, never a kernel copy. One
// copier serves a whole operation: its threads and buffers are made once.
class InspectedCopier {
  public:
    // One inspector a lane, for each copy.
    using Inspectors = std::vector<std::shared_ptr<const BlockInspector>>;

    explicit InspectedCopier(std::size_t lanes = 1);
    // Waits until the lanes are done with every block, then ends the threads.
    ~InspectedCopier();
    InspectedCopier(const InspectedCopier&) = delete;
    InspectedCopier& operator=(const InspectedCopier&) = delete;

    // Copies `count` bytes from the source's position to the target's, both
    // advancing, and hands every block to each inspector (one a lane, at most:
    // a lane without one has nothing to see), which sees them in order, after
    // they are written. An inspector may run on
    // after Copy has returned: what it uses must last until Wait.
    //
    // A short read or write raises EReadError or EWriteError, as CopyFrom
    // does; a failure of `afterBlock` goes on as it is; an earlier inspection's
    // failure is raised in place of the next block. Copy raises only once the
    // lanes are done with every block handed over: what the inspectors use may
    // then go with the failure.
    void Copy(TStream& target, TStream& source, std::int64_t count, const Inspectors& inspectors,
              const BlockObserver& afterBlock = {});
    // As Copy, with no target: the inspectors see the blocks read.
    void Read(TStream& source, std::int64_t count, const Inspectors& inspectors,
              const BlockObserver& afterBlock = {});

    // Returns once the lanes are done with every block handed over. Raises the
    // first inspection's failure, if one failed: the copier is then done with.
    void Wait();

  private:
    class Lanes;
    void Move(TStream* target, TStream& source, std::int64_t count, const Inspectors& inspectors,
              const BlockObserver& afterBlock);

    std::unique_ptr<Lanes> lanes_;
};

// What a checked copy found.
enum class CopyOutcome {
    Copied,         // every byte, from a source that stayed as it was
    SourceChanged,  // the source is not as it was (gone short, written to):
                    // what was copied of it stays in the target
    TargetFull,     // the target's disk is full: what was written stays
};

// The copies of one operation, from sources that must stay as they were: with
// inspectors, through an InspectedCopier made once; without, as CopyFrom
// copies (the system may move the data itself).
class CheckedCopier {
  public:
    // `lanes` inspectors for each copy; none: a plain copy.
    explicit CheckedCopier(std::size_t lanes = 0);

    // Copies `count` bytes from the source's position to the target's, both
    // advancing, and checks that the source keeps `facts` throughout (its
    // size, last-write time and identity). `afterBlock` runs after every
    // block. Other read and write failures raise as CopyFrom raises them. When
    // the outcome is not Copied, the lanes are done with every block: what the
    // inspectors use may go.
    CopyOutcome Copy(TStream& target, THandleStream& source, const FileFacts& facts,
                     std::int64_t count, const InspectedCopier::Inspectors& inspectors = {},
                     const BlockObserver& afterBlock = {});

    // With inspectors: returns once they are done with every block copied,
    // raising what an inspection raised (InspectedCopier::Wait).
    void Wait();

  private:
    std::optional<InspectedCopier> lanes_;
};

}  // namespace morcelix
