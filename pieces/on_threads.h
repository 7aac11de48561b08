// Work spread over threads: items taken one at a time from a shared count.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace morcelix {

// Runs `work(i)` for i in [0, count) on up to `threads` threads, the calling
// one among them. After a failure no thread takes another item; the first
// failure is raised once every thread has stopped. A thread the system will
// not start ends the work the same way, with its own failure.
template <typename Work>
void ForEachOnThreads(std::size_t count, unsigned threads, const Work& work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex mutex;
    const auto serve = [&] {
        for (std::size_t i; !failed && (i = next++) < count;) {
            try {
                work(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failure) {
                    failure = std::current_exception();
                }
                failed = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    const auto joinAll = [&] {
        for (std::thread& helper : helpers) {
            helper.join();
        }
    };
    try {
        for (std::size_t t = 1; t < std::min<std::size_t>(threads, count); ++t) {
            helpers.emplace_back(serve);
        }
    } catch (...) {
        failed = true;
        joinAll();
        throw;
    }
    serve();
    joinAll();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace morcelix
