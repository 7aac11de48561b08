// The one-line progress display of the command-line tool, drawn on a terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "pieces/failure.h"  // FormatBytes
#include "pieces/progress.h"

namespace morcelix::cli {

// Redraws one line on `out` with "\r": the percentage the operation reports
// (the same values as the window's bar), the bytes done and the total, and the
// mean throughput of this run; for a stream, whose total is unknown, only the
// bytes done and the throughput. Redraws when the percentage changes, and
// otherwise at most every kRedrawInterval, so a copy is not slowed by drawing.
class ProgressLine : public ProgressSink {
  public:
    // How many bytes are done so far, given how many times SetPosition has been
    // called; must not raise.
    using Meter = std::function<std::int64_t(int reports)>;
    // Seconds on a steady clock.
    using Clock = std::function<double()>;

    static constexpr double kRedrawInterval = 0.25;
    // The total of a stream, whose end is not known beforehand.
    static constexpr std::int64_t kUnknownTotal = -1;

    // `alreadyDone`: the bytes done before this run (a resumed join), which
    // the throughput does not count.
    ProgressLine(std::ostream& out, std::int64_t total, Meter meter, Clock clock = SteadySeconds,
                 std::int64_t alreadyDone = 0);
    // Ends the line if one was drawn and Finish was not called (a failure).
    ~ProgressLine() override;
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void SetPosition(int percent) override;
    void BlockCopied() override;

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
    std::int64_t total_;
    std::int64_t alreadyDone_;
    Meter meter_;
    Clock clock_;
    double start_;
    double lastDraw_ = 0;
    int percent_ = 0;
    int reports_ = 0;
    bool drawn_ = false;
    std::size_t lastWidth_ = 0;
};

}  // namespace morcelix::cli
