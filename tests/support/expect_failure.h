#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace morcelix::testing {

// Expects `action` to raise `Failure` carrying exactly `message`.
template <typename Failure>
void ExpectFailure(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no failure, expected: " << message;
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.Message(), message);
    }
}

}  // namespace morcelix::testing
