// The one computation behind both the creation of recovery slices and the
// rebuilding of lost ones: outputs that are linear combinations, over
// GF(2^16), of slices read from files. Creating: the outputs are the recovery
// slices and the inputs the pieces. Rebuilding: the outputs are the lost
// slices and the inputs the pieces left and the recovery slices, with the
// coefficients of the solved system.
//
// Memory stays within a bound whatever the slice size and the number of
// outputs: when the outputs do not fit, the computation goes over the slices
// in several passes, each over one range of bytes of every slice, reading
// the inputs again each time. The work is spread over the processor's cores.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pieces/progress.h"

namespace morcelix::par2 {

// One input: `length` bytes of the file `path` from `offset`, followed by
// zeros up to the slice size.
struct SliceSource {
    std::string path;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

struct Combination {
    std::int64_t sliceSize = 0;  // a multiple of 4
    std::vector<SliceSource> inputs;
    std::size_t outputs = 0;
    // The coefficient of an input in an output: output = sum of coefficient *
    // input. Asked often, from every worker thread: a matrix lookup, or a
    // formula where a matrix would not fit in memory (N recovery slices of
    // thousands of pieces).
    std::function<std::uint16_t(std::size_t output, std::size_t input)> coefficient;
};

struct ComputeLimits {
    // What the outputs and the buffers may take, in all.
    std::size_t memory = std::size_t{200} << 20;
    // Worker threads, the caller's included; 0: one per core (8 at most).
    unsigned threads = 0;
};

// Bytes of one input as read, without the padding: `size` bytes from `at`.
struct InputBlock {
    std::size_t input = 0;
    std::int64_t at = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Shown the inputs' bytes as they are read, several inputs at once (up to
// kObservedAtOnce blocks of distinct inputs a call, so that their MD5s can run side by side:
// md5_lanes.h), from worker threads while other workers compute: for each
// input, its bytes come in order from its first to its last across all
// passes (the passes go over the ranges in order); two calls may run at the
// same time, never over the same input.
inline constexpr std::size_t kObservedAtOnce = 16;
using InputObserver = std::function<void(const InputBlock* blocks, std::size_t count)>;

// Given every output's bytes from `at`, `size` of each, once they are final,
// on the caller's thread, once a pass: outputs[o] for each output o (count of
// them), so that their MD5s can run side by side.
using OutputSink = std::function<void(std::int64_t at, const std::uint8_t* const* outputs,
                                      std::size_t count, std::size_t size)>;

// Threads that each run their share of one job at a time; the caller's
// thread takes share 0. A share that raises does not stop the others: the
// job ends when every share has, and the first failure is raised then.
class WorkerThreads {
  public:
    // `count` shares, the caller's included.
    explicit WorkerThreads(unsigned count);
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    unsigned Count() const { return static_cast<unsigned>(threads_.size()) + 1; }
    // Runs job(w) for every share w, and returns once all have ended.
    void Run(const std::function<void(unsigned)>& job);

  private:
    void Serve(unsigned w);
    // Wakes every thread to end and joins it.
    void Stop();

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(unsigned)>* job_ = nullptr;
    std::uint64_t generation_ = 0;
    unsigned pending_ = 0;
    bool stop_ = false;
    std::exception_ptr failure_;
    std::vector<std::thread> threads_;
};

// The number of worker threads for `limits`.
unsigned ThreadsFor(const ComputeLimits& limits);

// outs[o] ^= coefficients[o] * in, over `bytes` (even) of each, the range
// shared out among the workers.
void AddProducts(WorkerThreads& workers, const std::vector<std::uint16_t>& coefficients,
                 const std::uint8_t* in, const std::vector<std::uint8_t*>& outs, std::size_t bytes);

// How many passes Compute makes over the inputs for `outputs` outputs of
// `sliceSize` bytes within `limits`.
std::int64_t PassesFor(std::int64_t sliceSize, std::size_t outputs, const ComputeLimits& limits);

// Computes the outputs. The inputs are read in groups, 1 MiB of each member
// at a time (less for smaller slices), and while the workers add one step's
// blocks into the outputs and show them to the observer, they read the next
// step's into a second set of buffers. Inputs are opened for reading
// (TFileStream) once per pass each; a short input (a file shorter than its slice says) raises
// EReadError. `progress`, if given, is told of the bytes read (Begin with the
// total of all passes, Moved with Mark::Block) and may raise to stop.
// Whatever the observer, the sink or a read raises stops the computation and
// goes on once every worker has stopped.
void Compute(const Combination& combination, const ComputeLimits& limits,
             const InputObserver& observer, const OutputSink& sink,
             ProgressSink* progress = nullptr);

}  // namespace morcelix::par2
