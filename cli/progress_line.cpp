#include "cli/progress_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace morcelix::cli {

double ProgressLine::SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

ProgressLine::ProgressLine(std::ostream& out, Clock clock) : out_(out), clock_(std::move(clock)) {}

ProgressLine::~ProgressLine() {
    EndLine();
}

void ProgressLine::Begin(std::int64_t total, std::int64_t done) {
    total_ = total;
    alreadyDone_ = done;
    done_ = done;
    start_ = clock_();
    lastDraw_ = start_ - kRedrawInterval;
}

void ProgressLine::Moved(std::int64_t done, Mark) {
    done_ = total_ == kUnknownTotal ? done : std::min(done, total_);
    const int percent = total_ == kUnknownTotal ? 0 : Percent(done_, total_);
    const bool changed = percent != percent_;
    percent_ = percent;
    if (changed || clock_() - lastDraw_ >= kRedrawInterval) {
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
    std::string line = FormatBytes(done_);
    if (total_ != kUnknownTotal) {
        line = std::to_string(percent_) + " %  " + line + " / " + FormatBytes(total_);
    }
    const double elapsed = now - start_;
    if (elapsed > 0) {
        const std::int64_t thisRun = std::max<std::int64_t>(done_ - alreadyDone_, 0);
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
