#include "cli/commands.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>

#include "cli/arguments.h"
#include "cli/progress_line.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"

namespace morcelix::cli {

namespace {

// The window's check before either operation: a path that names no file stops
// it with "Fichier non trouvé", before anything else is read.
void RequireFile(const std::string& path) {
    if (!FileExists(path)) {
        throw Failure(Text::FileNotFound, {});
    }
}

std::atomic<bool> interruptionRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
std::atomic<const char*> forcedEndMessage{nullptr};

// The interruption's line for a process ended at once: made once, never freed,
// so that a signal handler may read it at any moment.
const char* LineOf(Text interrupted) {
    static const std::string split = FormatText(Text::SplitInterrupted) + '\n';
    static const std::string join = FormatText(Text::JoinInterrupted) + '\n';
    return (interrupted == Text::SplitInterrupted ? split : join).c_str();
}

// What a command shows besides its failures: a progress line when standard
// error is a terminal, and with --verbeux each file created or deleted, on
// standard output; with --silencieux, nothing at all. A requested
// interruption stops the operation here, between two blocks.
class Report : public ProgressSink {
  public:
    Report(const Command& command, std::ostream& out, std::ostream& err, bool errIsTerminal)
        : out_(out),
          err_(err),
          drawsProgress_(errIsTerminal && !command.Has(Option::Quiet)),
          quiet_(command.Has(Option::Quiet)),
          verbose_(command.Has(Option::Verbose)) {}
    ~Report() override { forcedEndMessage = nullptr; }
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Starts the report of an operation over `total` bytes: its progress line,
    // where one is drawn, and `interrupted` as the message of an interruption.
    void Start(std::int64_t total, ProgressLine::Meter meter, Text interrupted) {
        interrupted_ = interrupted;
        forcedEndMessage = LineOf(interrupted);
        if (drawsProgress_) {
            line_.emplace(err_, total, std::move(meter));
        }
    }
    void Finish() {
        if (line_) {
            line_->Finish();
        }
    }
    // Where a command's results go: standard output, or nowhere.
    std::ostream& Results() { return quiet_ ? discard_ : out_; }

    void SetPosition(int percent) override {
        StopIfAsked();
        if (line_) {
            line_->SetPosition(percent);
        }
    }
    void BlockCopied() override {
        StopIfAsked();
        if (line_) {
            line_->BlockCopied();
        }
    }
    void FileCreated(const std::string& path) override { Note("créé : " + path); }
    void FileDeleted(const std::string& path) override { Note("supprimé : " + path); }

  private:
    void StopIfAsked() const {
        if (InterruptionRequested()) {
            throw EInterrupted(interrupted_);
        }
    }

    void Note(const std::string& text) {
        if (!verbose_) {
            return;
        }
        if (line_) {
            line_->WriteAbove(out_, text);
        } else {
            out_ << text << '\n';
        }
    }

    std::ostream& out_;
    std::ostream& err_;
    bool drawsProgress_;
    bool quiet_;
    bool verbose_;
    Text interrupted_ = Text::JoinInterrupted;
    std::optional<ProgressLine> line_;
    // A stream without a buffer: what is written to it goes nowhere.
    std::ostream discard_{nullptr};
};

// `path`'s file name in `folder`; `path` itself when `folder` is empty.
std::string InFolder(const std::string& folder, const std::string& path) {
    if (folder.empty()) {
        return path;
    }
    const auto native = [](const std::string& utf8) {
        return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
    };
    const std::u8string joined = (native(folder) / native(path).filename()).u8string();
    return std::string(joined.begin(), joined.end());
}

// The smallest piece size that cuts `length` bytes into at most `parts` pieces
// under Split's count of length / size + 1; one empty piece for a length of 0.
std::int64_t PieceSizeForParts(std::int64_t length, std::int64_t parts) {
    return length / parts + 1;
}

void SplitCommand(const Command& command, Report& report) {
    const std::string& source = command.operands[0];
    RequireFile(source);
    const std::int64_t length = std::max<std::int64_t>(FileSize(source), 0);
    const std::int64_t pieceSize = command.parts > 0 ? PieceSizeForParts(length, command.parts)
                                                     : PieceSizeFromArgument(command.operands[1]);
    const std::string piecesAt = InFolder(command.Value(Option::Folder), source);
    // Split reports 0 first, then once after each piece: the pieces before the
    // one being written are full, and that one holds what is copied so far.
    auto meter = [&piecesAt, pieceSize](int reports) {
        const std::int64_t finished = std::max(reports - 1, 0);
        const std::int64_t current =
            FileSize(PieceName(piecesAt, static_cast<std::uint64_t>(finished) + 1));
        return finished * pieceSize + std::max<std::int64_t>(current, 0);
    };
    report.Start(length, meter, Text::SplitInterrupted);
    Split(source, pieceSize, report,
          {.piecesAt = piecesAt, .manifest = command.Has(Option::Checksum)});
    report.Finish();
}

// The pieces joined that could not be deleted are named on `err`: the join
// succeeded, and running it again deletes them.
void JoinCommand(const Command& command, Report& report, std::ostream& err) {
    const std::string& picked = command.operands[0];
    const std::string destination =
        InFolder(command.Value(Option::Folder), DestinationOfPiece(picked));
    const std::int64_t total = SurveyPieceSet(picked, destination).totalSize;
    auto meter = [&destination](int) { return std::max<std::int64_t>(FileSize(destination), 0); };
    report.Start(total, meter, Text::JoinInterrupted);
    const JoinOutcome outcome =
        Join(picked, destination, report, {.keepPieces = command.Has(Option::Keep)});
    report.Finish();
    for (const std::string& piece : outcome.undeleted) {
        err << FormatText(Text::NotDeleted, piece) << '\n';
    }
}

// Lists the set on `out` and, when it has a manifest, reads every piece and
// says whether it is intact; returns false when the set can not be joined (a
// gap, a piece missing, of the wrong size, damaged: reported on `err`).
bool VerifyCommand(const std::string& firstPiece, std::ostream& out, std::ostream& err) {
    RequireFile(firstPiece);
    const PieceSetSurvey survey = SurveyPieceSet(firstPiece, DestinationOfPiece(firstPiece));
    std::vector<std::string> damaged;
    std::size_t width = std::to_string(survey.totalSize).size();
    for (std::size_t i = 0; i < survey.pieces.size(); ++i) {
        const SurveyedPiece& piece = survey.pieces[i];
        const std::string size = std::to_string(piece.facts.size);
        out << std::string(width - size.size(), ' ') << size << "  " << piece.path;
        if (survey.manifest) {
            const bool intact = i < survey.manifest->pieces.size() &&
                                FileDigest(piece.path) == survey.manifest->pieces[i];
            out << (intact ? "  OK" : "  endommagé");
            if (!intact) {
                damaged.push_back(piece.path);
            }
        }
        out << '\n';
    }
    const std::size_t count = survey.pieces.size();
    out << "Total : " << count << (count > 1 ? " parties, " : " partie, ") << survey.totalSize
        << (survey.totalSize > 1 ? " octets" : " octet") << '\n'
        << "Fichier regroupé : " << JoinDestination(firstPiece) << '\n';
    out.flush();
    bool sound = true;
    try {
        survey.Refuse();
    } catch (const Failure& refusal) {
        err << refusal.Message() << '\n';
        sound = false;
    }
    for (const std::string& piece : damaged) {
        err << FormatText(Text::Damaged, piece) << '\n';
    }
    return sound && damaged.empty();
}

}  // namespace

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           bool errIsTerminal) {
    int status = kExitSuccess;
    try {
        const Command command = ParseArguments(arguments);
        if (command.Has(Option::Help)) {
            out << kUsage;
        } else if (command.Has(Option::Version)) {
            out << kVersion;
        } else {
            Report report(command, out, err, errIsTerminal);
            if (command.name == "decouper") {
                SplitCommand(command, report);
            } else if (command.name == "regrouper") {
                JoinCommand(command, report, err);
            } else if (!VerifyCommand(command.operands[0], report.Results(), err)) {
                status = kExitFailure;
            }
        }
    } catch (const EInterrupted& interruption) {
        interruptionRequested = false;  // honoured
        err << interruption.Message() << '\n';
        status = kExitInterrupted;
    } catch (const UsageError& error) {
        err << error.text << '\n' << kSeeHelp;
        status = kExitUsage;
    } catch (const Failure& failure) {
        err << failure.Message() << '\n';
        status = kExitFailure;
    } catch (const std::exception& error) {
        // Not a failure of the file layer (memory, say): its own text, as it is.
        err << error.what() << '\n';
        status = kExitFailure;
    }
    // Output that could not be written (a full disk, a closed pipe) must not
    // pass for a success: a listing cut short is a failure.
    out.flush();
    if (!out && status == kExitSuccess) {
        err << FormatText(Text::StreamWrite) << '\n';
        status = kExitFailure;
    }
    err.flush();
    return status;
}

void RequestInterruption() {
    interruptionRequested = true;
}

bool InterruptionRequested() {
    return interruptionRequested;
}

const char* ForcedEndMessage() {
    return forcedEndMessage;
}

}  // namespace morcelix::cli
