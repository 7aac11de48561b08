// The one-line progress display of the command-line tool, drawn on a terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "pieces/failure.h"  // FormatBytes
#include "pieces/progress.h"

namespace morcelix::cli {

// Redraws one line on `out` with "\r": the percentage done (as the window's
// bar rounds it), the bytes done and the total, and the mean throughput of
// this run; for a stream, whose total is unknown, only the bytes done and the
// throughput. Redraws when the percentage changes, and otherwise at most
// every kRedrawInterval, so a copy is not slowed by drawing.
class ProgressLine : public ProgressSink {
  public:
    // Seconds on a steady clock.
    using Clock = std::function<double()>;

    static constexpr double kRedrawInterval = 0.25;

    explicit ProgressLine(std::ostream& out, Clock clock = SteadySeconds);
    // Ends the line if one was drawn and Finish was not called (a failure).
    ~ProgressLine() override;
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // The throughput counts from here, without the bytes `done` before.
    void Begin(std::int64_t total, std::int64_t done) override;
    // The first report draws at once.
    void Moved(std::int64_t done, Mark mark) override;

    // Draws the final state and ends the line.
    void Finish();

    // Writes `text` and a line end on `stream`, which may show on the same
    // terminal: the line drawn is blanked first and drawn again below the text.
    void WriteAbove(std::ostream& stream, const std::string& text);

    static double SteadySeconds();

  private:
    void Draw();
    void EndLine();

    std::ostream& out_;
    Clock clock_;
    std::int64_t total_ = kUnknownTotal;
    std::int64_t alreadyDone_ = 0;
    std::int64_t done_ = 0;
    double start_ = 0;
    double lastDraw_ = 0;
    int percent_ = -1;
    bool drawn_ = false;
    std::size_t lastWidth_ = 0;
};

}  // namespace morcelix::cli
