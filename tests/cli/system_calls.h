// Reading the log of strace -f: the calls a traced program made, in order.
#pragma once

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace morcelix::testing {

// One system call of a strace log line: its name, arguments and result.
struct Call {
    std::string name, arguments;
    long result = 0;
};

inline std::vector<Call> ReadTrace(const std::string& log) {
    std::vector<Call> calls;
    const std::regex line(R"(^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+))");
    std::istringstream lines(log);
    for (std::string text; std::getline(lines, text);) {
        std::smatch match;
        if (std::regex_search(text, match, line)) {
            calls.push_back({match[1], match[2], std::stol(match[3])});
        }
    }
    return calls;
}

// The first quoted string of a call's arguments.
inline std::string QuotedPath(const std::string& arguments) {
    const auto open = arguments.find('"');
    return arguments.substr(open + 1, arguments.find('"', open + 1) - open - 1);
}

// The descriptor a write or copy_file_range(in, NULL, out, ...) writes to.
inline long WrittenDescriptor(const Call& call) {
    std::istringstream words(call.arguments);
    std::string word;
    for (int k = 0; k < (call.name == "copy_file_range" ? 3 : 1); ++k) {
        std::getline(words, word, ',');
    }
    return std::atol(word.c_str());
}

}  // namespace morcelix::testing
