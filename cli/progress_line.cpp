#include "cli/progress_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace morcelix::cli {

double ProgressLine::SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

ProgressLine::ProgressLine(std::ostream& out, std::int64_t total, Meter meter, Clock clock,
                           std::int64_t alreadyDone)
    : out_(out),
      total_(total),
      alreadyDone_(alreadyDone),
      meter_(std::move(meter)),
      clock_(std::move(clock)),
      start_(clock_()) {
    // The first report draws at once.
    lastDraw_ = start_ - kRedrawInterval;
}

ProgressLine::~ProgressLine() {
    EndLine();
}

void ProgressLine::SetPosition(int percent) {
    ++reports_;
    const bool changed = percent != percent_;
    percent_ = percent;
    if (changed || clock_() - lastDraw_ >= kRedrawInterval) {
        Draw();
    }
}

void ProgressLine::BlockCopied() {
    if (clock_() - lastDraw_ >= kRedrawInterval) {
        Draw();
    }
}

void ProgressLine::Finish() {
    Draw();
    EndLine();
}

void ProgressLine::WriteAbove(std::ostream& stream, const std::string& text) {
    const bool drawn = drawn_;
    if (drawn) {
        out_ << '\r' << std::string(lastWidth_, ' ') << '\r' << std::flush;
        lastWidth_ = 0;
    }
    stream << text << '\n' << std::flush;
    if (drawn) {
        Draw();
    }
}

void ProgressLine::Draw() {
    const double now = clock_();
    lastDraw_ = now;
    std::int64_t done = meter_(reports_);
    std::string line;
    if (total_ == kUnknownTotal) {
        line = FormatBytes(done);
    } else {
        done = std::min(done, total_);
        line = std::to_string(percent_) + " %  " + FormatBytes(done) + " / " + FormatBytes(total_);
    }
    const double elapsed = now - start_;
    if (elapsed > 0) {
        const std::int64_t thisRun = std::max<std::int64_t>(done - alreadyDone_, 0);
        line += "  " + FormatBytes(static_cast<std::int64_t>(thisRun / elapsed)) + "/s";
    }
    const std::size_t width = line.size();
    // Blank out what a longer previous line left behind.
    if (width < lastWidth_) {
        line.append(lastWidth_ - width, ' ');
    }
    lastWidth_ = width;
    out_ << '\r' << line << std::flush;
    drawn_ = true;
}

void ProgressLine::EndLine() {
    if (drawn_) {
        out_ << '\n' << std::flush;
        drawn_ = false;
    }
}

}  // namespace morcelix::cli
