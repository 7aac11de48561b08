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
// Inputs read at once, for each worker: the workers take inputs and tiles as
// they come free, so that one held back by the system (a busy machine) does
// not leave the others waiting at the end of each step.
constexpr unsigned kInputsPerWorker = 4;
// The bytes of a slice worked on at once: one input's tile stays in the first
// level cache while every output's tile at the same place is updated.
constexpr std::size_t kTile = 16384;
constexpr std::int64_t kAlign = 64;

std::int64_t ChunkFor(std::int64_t sliceSize) {
    return std::min(kChunk, sliceSize);
}

// The width of a pass: the bytes of each output kept at once.
std::int64_t PassWidth(std::int64_t sliceSize, std::size_t outputs, const ComputeLimits& limits) {
    const std::int64_t buffers = kInputsPerWorker * ThreadsFor(limits) * ChunkFor(sliceSize);
    const std::int64_t room = std::max<std::int64_t>(
        static_cast<std::int64_t>(limits.memory) - buffers, kAlign * std::int64_t(outputs));
    const std::int64_t width = room / static_cast<std::int64_t>(std::max<std::size_t>(outputs, 1));
    return std::min(sliceSize, std::max(kAlign, width / kAlign * kAlign));
}

}  // namespace

WorkerThreads::WorkerThreads(unsigned count) {
    for (unsigned w = 1; w < count; ++w) {
        threads_.emplace_back([this, w] { Serve(w); });
    }
}

WorkerThreads::~WorkerThreads() {
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
    const std::size_t slots = std::size_t{kInputsPerWorker} * count;
    std::vector<std::vector<std::uint8_t>> buffers(slots, std::vector<std::uint8_t>(chunk));
    std::vector<std::unique_ptr<TFileStream>> streams(slots);
    std::vector<std::size_t> filled(slots);
    std::atomic<std::size_t> next{0};

    for (std::int64_t from = 0; from < sliceSize; from += width) {
        const std::int64_t range = std::min(width, sliceSize - from);
        std::fill(sums.begin(), sums.end(), std::uint8_t{0});
        for (std::size_t group = 0; group < inputs; group += slots) {
            const std::size_t members = std::min<std::size_t>(slots, inputs - group);
            for (std::int64_t at = 0; at < range; at += chunk) {
                const std::int64_t size = std::min(chunk, range - at);
                // The workers read the members' next chunks, one member at a
                // time each.
                next = 0;
                workers.Run([&](unsigned) {
                    for (std::size_t m; (m = next++) < members;) {
                        const std::size_t index = group + m;
                        const SliceSource& input = combination.inputs[index];
                        const std::int64_t position = from + at;
                        const std::int64_t present =
                            std::clamp<std::int64_t>(input.length - position, 0, size);
                        std::uint8_t* buffer = buffers[m].data();
                        if (present > 0) {
                            if (!streams[m]) {
                                streams[m] =
                                    std::make_unique<TFileStream>(input.path, OpenMode::Read);
                            }
                            streams[m]->SetPosition(input.offset + position);
                            streams[m]->ReadBuffer(buffer, static_cast<std::int32_t>(present));
                            if (observer) {
                                observer(index, position, buffer,
                                         static_cast<std::size_t>(present));
                            }
                        }
                        std::fill(buffer + present, buffer + size, std::uint8_t{0});
                        filled[m] = static_cast<std::size_t>(present);
                    }
                });
                // Then add every member's chunk into the outputs, a tile at a
                // time each.
                const std::size_t tiles = static_cast<std::size_t>(size + kTile - 1) / kTile;
                next = 0;
                workers.Run([&](unsigned) {
                    for (std::size_t t; (t = next++) < tiles;) {
                        const std::int64_t tile = static_cast<std::int64_t>(t * kTile);
                        const std::int64_t tileEnd = std::min<std::int64_t>(size, tile + kTile);
                        for (std::size_t m = 0; m < members; ++m) {
                            // Past its bytes an input is zeros, which add nothing.
                            const std::int64_t present =
                                (static_cast<std::int64_t>(filled[m]) + 1) & ~1;
                            const std::int64_t bytes = std::min(tileEnd, present) - tile;
                            if (bytes <= 0) {
                                continue;
                            }
                            const std::uint8_t* in = buffers[m].data() + tile;
                            for (std::size_t o = 0; o < outputs; ++o) {
                                const std::uint16_t coefficient =
                                    combination.coefficient(o, group + m);
                                std::uint8_t* out =
                                    sums.data() + o * static_cast<std::size_t>(width) + at + tile;
                                gf16::MultiplyAdd(coefficient, in, out,
                                                  static_cast<std::size_t>(bytes));
                            }
                        }
                    }
                });
                if (progress) {
                    for (std::size_t m = 0; m < members; ++m) {
                        done += static_cast<std::int64_t>(filled[m]);
                    }
                    progress->Moved(done, ProgressSink::Mark::Block);
                }
            }
            for (auto& stream : streams) {
                stream.reset();
            }
        }
        for (std::size_t o = 0; o < outputs; ++o) {
            sink(o, from, sums.data() + o * static_cast<std::size_t>(width),
                 static_cast<std::size_t>(range));
        }
    }
}

}  // namespace morcelix::par2
