#include "pieces/par2_compute.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "pieces/file_stream.h"
#include "pieces/gf16.h"

namespace morcelix::par2 {

namespace {

// The bytes one read brings.
constexpr std::int64_t kChunk = std::int64_t{1} << 20;
// Inputs read at once, for each worker, and at least as many as the widest
// MD5 kernel hashes side by side: the workers take inputs and tiles as they
// come free, so that one held back by the system (a busy machine) does not
// leave the others waiting at the end of each step.
constexpr unsigned kInputsPerWorker = 4;

std::size_t SlotsFor(unsigned threads) {
    return std::max<std::size_t>(kObservedAtOnce, std::size_t{kInputsPerWorker} * threads);
}
// The bytes of a slice worked on at once: one input's tile stays in the first
// level cache while every output's tile at the same place is updated.
constexpr std::size_t kTile = 16384;
constexpr std::int64_t kAlign = 64;
// The most multipliers a computation keeps for a group of inputs: 4 MiB.
constexpr std::size_t kKeptMultipliers = 32768;

std::int64_t ChunkFor(std::int64_t sliceSize) {
    return std::min(kChunk, sliceSize);
}

// The width of a pass: the bytes of each output kept at once.
std::int64_t PassWidth(std::int64_t sliceSize, std::size_t outputs, const ComputeLimits& limits) {
    // Two sets of buffers: one step's read while the one before is computed.
    const std::size_t slots = SlotsFor(ThreadsFor(limits));
    const std::int64_t buffers =
        2 * static_cast<std::int64_t>(slots) * ChunkFor(sliceSize) +
        static_cast<std::int64_t>(std::min(slots * outputs, kKeptMultipliers) *
                                  sizeof(gf16::Multiplier));
    const std::int64_t room = std::max<std::int64_t>(
        static_cast<std::int64_t>(limits.memory) - buffers, kAlign * std::int64_t(outputs));
    const std::int64_t width = room / static_cast<std::int64_t>(std::max<std::size_t>(outputs, 1));
    return std::min(sliceSize, std::max(kAlign, width / kAlign * kAlign));
}

}  // namespace

WorkerThreads::WorkerThreads(unsigned count) {
    try {
        for (unsigned w = 1; w < count; ++w) {
            threads_.emplace_back([this, w] { Serve(w); });
        }
    } catch (...) {
        // A thread the system would not start: the started ones end before
        // the failure leaves, or their destruction would end the program.
        Stop();
        throw;
    }
}

WorkerThreads::~WorkerThreads() {
    Stop();
}

void WorkerThreads::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void WorkerThreads::Run(const std::function<void(unsigned)>& job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        pending_ = static_cast<unsigned>(threads_.size());
        failure_ = nullptr;
        ++generation_;
    }
    wake_.notify_all();
    std::exception_ptr own;
    try {
        job(0);
    } catch (...) {
        own = std::current_exception();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    // Every share ends: a share is a bounded piece of work on its own.
    done_.wait(lock, [this] { return pending_ == 0; });
    job_ = nullptr;
    if (own) {
        std::rethrow_exception(own);
    }
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

void WorkerThreads::Serve(unsigned w) {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) {
            return;
        }
        seen = generation_;
        const std::function<void(unsigned)>* job = job_;
        lock.unlock();
        std::exception_ptr failure;
        try {
            (*job)(w);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure && !failure_) {
            failure_ = failure;
        }
        if (--pending_ == 0) {
            done_.notify_one();
        }
    }
}

unsigned ThreadsFor(const ComputeLimits& limits) {
    if (limits.threads != 0) {
        return limits.threads;
    }
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

void AddProducts(WorkerThreads& workers, const std::vector<std::uint16_t>& coefficients,
                 const std::uint8_t* in, const std::vector<std::uint8_t*>& outs,
                 std::size_t bytes) {
    const unsigned count = workers.Count();
    const std::size_t part = ((bytes + count - 1) / count + 63) / 64 * 64;
    workers.Run([&](unsigned w) {
        const std::size_t begin = std::min(bytes, part * w);
        const std::size_t end = std::min(bytes, begin + part);
        for (std::size_t tile = begin; tile < end; tile += 16384) {
            const std::size_t size = std::min<std::size_t>(16384, end - tile);
            for (std::size_t o = 0; o < outs.size(); ++o) {
                gf16::MultiplyAdd(coefficients[o], in + tile, outs[o] + tile, size);
            }
        }
    });
}

std::int64_t PassesFor(std::int64_t sliceSize, std::size_t outputs, const ComputeLimits& limits) {
    const std::int64_t width = PassWidth(sliceSize, outputs, limits);
    return (sliceSize + width - 1) / width;
}

void Compute(const Combination& combination, const ComputeLimits& limits,
             const InputObserver& observer, const OutputSink& sink, ProgressSink* progress) {
    const std::size_t outputs = combination.outputs;
    const std::size_t inputs = combination.inputs.size();
    const std::int64_t sliceSize = combination.sliceSize;
    if (outputs == 0 || sliceSize <= 0) {
        return;
    }
    const std::int64_t width = PassWidth(sliceSize, outputs, limits);
    const std::int64_t chunk = std::min(ChunkFor(sliceSize), width);
    WorkerThreads workers(ThreadsFor(limits));
    const unsigned count = workers.Count();

    std::int64_t total = 0;
    for (const SliceSource& input : combination.inputs) {
        total += std::clamp<std::int64_t>(input.length, 0, sliceSize);
    }
    std::int64_t done = 0;
    if (progress) {
        progress->Begin(total, 0);
    }

    std::vector<std::uint8_t> sums(static_cast<std::size_t>(width) * outputs);
    const std::size_t slots = SlotsFor(count);
    // The group's multipliers, made once for all its steps, when they take
    // little room (128 bytes each).
    const bool keepMultipliers = slots * outputs <= kKeptMultipliers;
    std::vector<gf16::Multiplier> multipliers;
    std::size_t multipliersGroup = inputs;  // none yet

    // The steps, in order: each pass's groups of inputs, each group's chunks.
    struct Step {
        std::int64_t from, range;  // the pass
        std::size_t group, members;
        std::int64_t at, size;  // within the pass's range
    };
    std::vector<Step> steps;
    for (std::int64_t from = 0; from < sliceSize; from += width) {
        const std::int64_t range = std::min(width, sliceSize - from);
        for (std::size_t group = 0; group < inputs; group += slots) {
            const std::size_t members = std::min<std::size_t>(slots, inputs - group);
            for (std::int64_t at = 0; at < range; at += chunk) {
                steps.push_back(Step{from, range, group, members, at, std::min(chunk, range - at)});
            }
        }
    }

    // Two sets of buffers; one stream for each member of a group, kept open
    // on its input from one step to the next (only the step's reads use them).
    struct Slot {
        std::vector<std::uint8_t> buffer;
        std::size_t filled = 0;
    };
    std::vector<std::unique_ptr<TFileStream>> streams(slots);
    std::vector<std::size_t> streamInputs(slots);
    std::vector<Slot> sets[2];
    for (auto& set : sets) {
        set.resize(slots);
        for (Slot& slot : set) {
            slot.buffer.resize(static_cast<std::size_t>(chunk));
        }
    }
    // Reads step `k`'s members into its set, member `m` by one worker.
    const auto read = [&](std::size_t k, std::size_t m) {
        const Step& step = steps[k];
        Slot& slot = sets[k % 2][m];
        const std::size_t index = step.group + m;
        const SliceSource& input = combination.inputs[index];
        const std::int64_t position = step.from + step.at;
        const std::int64_t present =
            std::clamp<std::int64_t>(input.length - position, 0, step.size);
        std::uint8_t* buffer = slot.buffer.data();
        if (present > 0) {
            std::unique_ptr<TFileStream>& stream = streams[m];
            if (!stream || streamInputs[m] != index) {
                stream.reset();
                stream = std::make_unique<TFileStream>(input.path, OpenMode::Read);
                streamInputs[m] = index;
            }
            stream->SetPosition(input.offset + position);
            stream->ReadBuffer(buffer, static_cast<std::int32_t>(present));
        }
        std::fill(buffer + present, buffer + step.size, std::uint8_t{0});
        slot.filled = static_cast<std::size_t>(present);
    };
    // Shows the blocks of step `k`'s members from `first` on, up to
    // kObservedAtOnce of them.
    const auto observe = [&](std::size_t k, std::size_t first) {
        const Step& step = steps[k];
        InputBlock blocks[kObservedAtOnce];
        std::size_t count = 0;
        for (std::size_t m = first; m < std::min(step.members, first + kObservedAtOnce); ++m) {
            const Slot& slot = sets[k % 2][m];
            if (slot.filled > 0) {
                blocks[count++] = InputBlock{step.group + m, step.from + step.at,
                                             slot.buffer.data(), slot.filled};
            }
        }
        if (count > 0) {
            observer(blocks, count);
        }
    };
    // Adds step `k`'s members into the outputs over one tile.
    const auto add = [&](std::size_t k, std::size_t t) {
        const Step& step = steps[k];
        const std::int64_t tile = static_cast<std::int64_t>(t * kTile);
        const std::int64_t tileEnd = std::min<std::int64_t>(step.size, tile + kTile);
        for (std::size_t m = 0; m < step.members; ++m) {
            const Slot& slot = sets[k % 2][m];
            // Past its bytes an input is zeros, which add nothing.
            const std::int64_t present = (static_cast<std::int64_t>(slot.filled) + 1) & ~1;
            const std::int64_t bytes = std::min(tileEnd, present) - tile;
            if (bytes <= 0) {
                continue;
            }
            const std::uint8_t* in = slot.buffer.data() + tile;
            for (std::size_t o = 0; o < outputs; ++o) {
                std::uint8_t* out =
                    sums.data() + o * static_cast<std::size_t>(width) + step.at + tile;
                if (keepMultipliers) {
                    multipliers[m * outputs + o].MultiplyAdd(in, out,
                                                             static_cast<std::size_t>(bytes));
                } else {
                    gf16::MultiplyAdd(combination.coefficient(o, step.group + m), in, out,
                                      static_cast<std::size_t>(bytes));
                }
            }
        }
    };

    std::atomic<std::size_t> next{0};
    // Step k's work, and the reading of step k + 1, as tasks the workers take
    // in turn: the observer's first (the longest), then the reads, then the
    // tiles. Before the first step, its reading alone.
    for (std::size_t k = 0; k <= steps.size(); ++k) {
        const bool computing = k > 0;
        const std::size_t current = k - 1;
        const std::size_t observations =
            computing && observer ? (steps[current].members + kObservedAtOnce - 1) / kObservedAtOnce
                                  : 0;
        const std::size_t reads = k < steps.size() ? steps[k].members : 0;
        const std::size_t tiles =
            computing ? static_cast<std::size_t>(steps[current].size + kTile - 1) / kTile : 0;
        if (computing && (current == 0 || steps[current].from != steps[current - 1].from)) {
            std::fill(sums.begin(), sums.end(), std::uint8_t{0});
        }
        if (computing && keepMultipliers && multipliersGroup != steps[current].group) {
            multipliersGroup = steps[current].group;
            multipliers.clear();
            for (std::size_t m = 0; m < steps[current].members; ++m) {
                for (std::size_t o = 0; o < outputs; ++o) {
                    multipliers.emplace_back(combination.coefficient(o, multipliersGroup + m));
                }
            }
        }
        const std::size_t tasks = observations + reads + tiles;
        next = 0;
        workers.Run([&](unsigned) {
            try {
                for (std::size_t task; (task = next++) < tasks;) {
                    if (task < observations) {
                        observe(current, task * kObservedAtOnce);
                    } else if (task < observations + reads) {
                        read(k, task - observations);
                    } else {
                        add(current, task - observations - reads);
                    }
                }
            } catch (...) {
                // The step is lost: the other workers take none of its tasks left.
                next = tasks;
                throw;
            }
        });
        if (!computing) {
            continue;
        }
        const Step& step = steps[current];
        if (progress) {
            for (std::size_t m = 0; m < step.members; ++m) {
                done += static_cast<std::int64_t>(sets[current % 2][m].filled);
            }
            progress->Moved(done, ProgressSink::Mark::Block);
        }
        if (k == steps.size() || steps[k].from != step.from) {
            std::vector<const std::uint8_t*> ranges;
            for (std::size_t o = 0; o < outputs; ++o) {
                ranges.push_back(sums.data() + o * static_cast<std::size_t>(width));
            }
            sink(step.from, ranges.data(), outputs, static_cast<std::size_t>(step.range));
        }
    }
}

}  // namespace morcelix::par2
