// FIFOs for the tests of the file layer's refusal of anything but regular
// files (POSIX only). Opening a FIFO for reading waits for a writer: a test
// that does so must fail, not hang.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

namespace morcelix::testing {

inline void MakeFifo(const std::string& path) {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
}

// Runs `action`; if it is still running after a few seconds (stuck opening
// `fifo`), the FIFO is opened for writing to let it go, and the test fails.
inline void WithoutWaitingOn(const std::string& fifo, const std::function<void()>& action) {
    auto running = std::async(std::launch::async, action);
    if (running.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "waited on the FIFO " << fifo;
        const int writer = open(fifo.c_str(), O_WRONLY);
        if (writer >= 0) {
            close(writer);
        }
    }
    running.get();
}

}  // namespace morcelix::testing
