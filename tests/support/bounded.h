// Bounds for in-process tests of code that could hang: a hang fails the test
// program at once instead of holding the run until CTest's timeout.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

namespace morcelix::testing {

// Runs `action` on a thread of its own and returns what it raised, if
// anything, once it ends. If it has not ended within `limit`, the failure is
// reported and the test program ends there: a hung thread can not be stopped.
template <typename Action>
void WithinTime(std::chrono::seconds limit, const std::string& what, Action action) {
    auto running = std::async(std::launch::async, action);
    if (running.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << what << " has not ended after " << limit.count() << " s";
        std::fprintf(stderr, "%s hangs: the test program ends here\n", what.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
    running.get();
}

}  // namespace morcelix::testing
