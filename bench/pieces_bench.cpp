// pieces_bench split SOURCE PIECE_BYTES | join FIRST_PIECE DESTINATION
// Runs one routine, as the benchmark scripts time it against other tools.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pieces/failure.h"
#include "pieces/join.h"
#include "pieces/split.h"

namespace {

class NoProgress : public morcelix::ProgressSink {
  public:
    void Begin(std::int64_t, std::int64_t) override {}
    void Moved(std::int64_t, Mark) override {}
};

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc == 4 ? argv[1] : "";
    NoProgress progress;
    try {
        if (verb == "split") {
            morcelix::Split(argv[2], std::atoll(argv[3]), progress);
        } else if (verb == "join") {
            morcelix::Join(argv[2], argv[3], progress);
        } else {
            std::fputs(
                "usage: pieces_bench split SOURCE PIECE_BYTES | join FIRST_PIECE DESTINATION\n",
                stderr);
            return 2;
        }
    } catch (const morcelix::Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.Message());
        return 1;
    }
    return 0;
}
