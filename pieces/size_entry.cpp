#include "pieces/size_entry.h"

#include <cctype>
#include <string_view>

#include "pieces/failure.h"

namespace morcelix {

namespace {

constexpr std::int64_t kBytesPerMo = 1000000;

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The length of the hexadecimal prefix that `rest` starts with, or 0.
std::size_t HexPrefix(std::string_view rest) {
    if (rest.starts_with('$') || rest.starts_with('x') || rest.starts_with('X'))
        return 1;
    if (rest.starts_with("0x") || rest.starts_with("0X"))
        return 2;
    return 0;
}

}  // namespace

std::int32_t ReadWholeNumber(const std::string& text) {
    std::string_view rest = text;
    while (rest.starts_with(' ')) {
        rest.remove_prefix(1);
    }
    if (const std::size_t prefix = HexPrefix(rest)) {
        rest.remove_prefix(prefix);
        std::uint64_t value = 0;
        for (char c : rest) {
            const int digit = HexDigit(c);
            if (digit < 0 || (value << 4) > 0xFFFFFFFFu) {
                throw EConvertError(text);
            }
            value = value << 4 | static_cast<unsigned>(digit);
        }
        if (rest.empty()) {
            throw EConvertError(text);
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
    const bool negative = rest.starts_with('-');
    if (negative || rest.starts_with('+')) {
        rest.remove_prefix(1);
    }
    // Accumulated as a magnitude, so that -2147483648 fits.
    const std::int64_t limit = negative ? std::int64_t{2147483648} : std::int64_t{2147483647};
    std::int64_t magnitude = 0;
    for (char c : rest) {
        if (c < '0' || c > '9' || (magnitude = magnitude * 10 + (c - '0')) > limit) {
            throw EConvertError(text);
        }
    }
    if (rest.empty()) {
        throw EConvertError(text);
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::int64_t PieceSizeFromEntry(const std::string& text) {
    const std::int32_t mo = ReadWholeNumber(text);
    if (mo < 0) {
        throw EPieceSizeError(text);
    }
    return mo * kBytesPerMo;
}

}  // namespace morcelix
