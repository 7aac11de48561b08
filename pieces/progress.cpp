#include "pieces/progress.h"

namespace morcelix {

int Percent(std::int64_t done, std::int64_t total) {
    if (total <= 0 || done >= total) {
        return 100;
    }
    // 100 * done / total by repeated addition modulo total, so that no product
    // overflows 64 bits (a 128-bit type is not there on 32-bit targets).
    const auto divisor = static_cast<std::uint64_t>(total);
    const auto step = static_cast<std::uint64_t>(done);
    std::uint64_t remainder = 0;
    int quotient = 0;
    for (int i = 0; i < 100; ++i) {
        if (remainder >= divisor - step) {
            remainder -= divisor - step;
            ++quotient;
        } else {
            remainder += step;
        }
    }
    // Round: compare the remainder with half the divisor, ties to even.
    const std::uint64_t twice = 2 * remainder;
    if (twice > divisor || (twice == divisor && quotient % 2 == 1)) {
        ++quotient;
    }
    return quotient;
}

}  // namespace morcelix
