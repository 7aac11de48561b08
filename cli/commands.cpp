#include "cli/commands.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "cli/arguments.h"
#include "cli/progress_line.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/join.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/set_check.h"
#include "pieces/split.h"
#include "pieces/split_in_place.h"

namespace morcelix::cli {

namespace {

std::filesystem::path NativePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool IsFolder(const std::string& path) {
    std::error_code unused;
    return std::filesystem::is_directory(NativePath(path), unused);
}

// The window's check before a split, naming the path: a folder, or a path
// that names no file, stops it before anything else is read.
void RequireFile(const std::string& path) {
    if (FileExists(path)) {
        return;
    }
    if (IsFolder(path)) {
        throw EIsAFolder(path);
    }
    if (EntryExists(path) && !IsLink(path)) {
        throw ENotARegularFile(path);  // a FIFO, a device
    }
    if (IsLink(path) && std::filesystem::exists(NativePath(path))) {
        throw ENotARegularFile(path);  // a link to one
    }
    throw ENamedFileNotFound(path);
}

// What regrouper and verifier take: the first piece of a set, or, when
// `resumable`, any piece of a join that stopped part-way into `destination`.
// A folder, a file that is not there, and another piece of a set whose first
// piece is there (named as the one to give) are refused, naming the path.
void RequirePieceToJoin(const std::string& picked, const std::string& destination, bool resumable) {
    if (IsFolder(picked)) {
        throw EIsAFolder(picked);
    }
    const StartOfJoin start = StartOf(picked, destination);
    if (start.start == JoinStart::OtherPiece) {
        throw ENotFirstPiece(picked, start.firstPiece);
    }
    if (!FileExists(picked) && !(resumable && start.start == JoinStart::Resume)) {
        throw ENamedFileNotFound(picked);
    }
}

// "2500000 octets", "1 octet"
std::string ByteCount(std::int64_t bytes) {
    return std::to_string(bytes) + (bytes > 1 ? " octets" : " octet");
}

std::atomic<bool> interruptionRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
std::atomic<const char*> forcedEndMessage{nullptr};

// The interruption's line for a process ended at once: made once, never freed,
// so that a signal handler may read it at any moment.
const char* LineOf(Text interrupted) {
    const auto line = [](Text text) {
        return std::string(kMessagePrefix) + FormatText(text) + '\n';
    };
    static const std::string split = line(Text::SplitInterrupted);
    static const std::string inPlaceSplit = line(Text::InPlaceSplitInterrupted);
    static const std::string join = line(Text::JoinInterrupted);
    static const std::string streamJoin = line(Text::StreamJoinInterrupted);
    switch (interrupted) {
        case Text::SplitInterrupted:
            return split.c_str();
        case Text::InPlaceSplitInterrupted:
            return inPlaceSplit.c_str();
        case Text::StreamJoinInterrupted:
            return streamJoin.c_str();
        default:
            return join.c_str();
    }
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

    // Starts the report of an operation: `interrupted` is the message of an
    // interruption; the operation itself says how many bytes it covers.
    void Start(Text interrupted) {
        interrupted_ = interrupted;
        forcedEndMessage = LineOf(interrupted);
        if (drawsProgress_) {
            line_.emplace(err_);
        }
    }
    void Finish() {
        if (line_) {
            line_->Finish();
        }
    }
    // Where a command's results go: standard output, or nowhere.
    std::ostream& Results() { return quiet_ ? discard_ : out_; }

    // What to say after the failure of the operation: `note` gives it, or
    // nothing ("").
    void SetFailureNote(std::function<std::string()> note) { failureNote_ = std::move(note); }
    std::string FailureNote() const { return failureNote_ ? failureNote_() : std::string(); }
    // The files the operation created, in order.
    const std::vector<std::string>& Created() const { return created_; }

    void Begin(std::int64_t total, std::int64_t done) override {
        StopIfAsked();
        if (line_) {
            line_->Begin(total, done);
        }
    }
    void Moved(std::int64_t done, Mark mark) override {
        StopIfAsked();
        if (line_) {
            line_->Moved(done, mark);
        }
    }
    void FileCreated(const std::string& path) override {
        created_.push_back(path);
        Note("créé : " + path);
    }
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
    std::vector<std::string> created_;
    std::function<std::string()> failureNote_;
    // A stream without a buffer: what is written to it goes nowhere.
    std::ostream discard_{nullptr};
};

// `path`'s file name in `folder`; `path` itself when `folder` is empty.
std::string InFolder(const std::string& folder, const std::string& path) {
    if (folder.empty()) {
        return path;
    }
    const std::u8string joined = (NativePath(folder) / NativePath(path).filename()).u8string();
    return std::string(joined.begin(), joined.end());
}

// The smallest piece size that cuts `length` bytes into at most `parts` pieces
// under Split's count of length / size + 1; one empty piece for a length of 0.
std::int64_t PieceSizeForParts(std::int64_t length, std::int64_t parts) {
    return length / parts + 1;
}

// The path whose name the pieces take: NOM with --nom, the file's otherwise;
// in the folder of -o.
std::string PiecesAt(const Command& command) {
    const std::string& named =
        command.Has(Option::Name) ? command.Value(Option::Name) : command.operands[0];
    return InFolder(command.Value(Option::Folder), named);
}

// The files written beside the pieces: with --somme the manifest, and with
// --somme=crc the .crc file too; with --secours N the PAR2 recovery files;
// with --notice the notice.
SplitSums SplitSumsOf(const Command& command) {
    return {.manifest = command.Has(Option::Checksum),
            .crcFile = command.Value(Option::Checksum) == "crc",
            .recovery = command.recoverySlices,
            .notice = command.Has(Option::Notice)};
}

SplitOptions SplitOptionsOf(const Command& command) {
    return {.piecesAt = PiecesAt(command),
            .sums = SplitSumsOf(command),
            .replaceOthers = command.Has(Option::Force)};
}

void SplitCommand(const Command& command, Report& report) {
    const std::string& source = command.operands[0];
    RequireFile(source);
    const std::int64_t length = std::max<std::int64_t>(FileSize(source), 0);
    const std::int64_t pieceSize =
        command.parts > 0 ? PieceSizeForParts(length, command.parts) : command.pieceSize;
    report.Start(Text::SplitInterrupted);
    Split(source, pieceSize, report, SplitOptionsOf(command));
    report.Finish();
}

// Splits the file in place: it becomes its pieces. A failure once the split
// has begun is followed by how to finish it; an interruption's text says so.
void InPlaceSplitCommand(const Command& command, Report& report) {
    const std::string& source = command.operands[0];
    if (IsFolder(source)) {
        throw EIsAFolder(source);
    }
    report.Start(Text::InPlaceSplitInterrupted);
    const InPlaceSplitSurvey survey =
        SurveyInPlaceSplit(source, command.pieceSize, PiecesAt(command), SplitSumsOf(command));
    try {
        SplitInPlace(survey, report, SplitSumsOf(command));
    } catch (const EInterrupted&) {
        throw;
    } catch (const Failure&) {
        report.SetFailureNote(
            [source] { return FormatText(Text::InPlaceSplitUnfinished, source); });
        throw;
    }
    report.Finish();
}

// Splits standard input. A failure keeps the pieces written, and its message
// is followed by how far they go.
void SplitStandardInputCommand(const Command& command, Report& report, SequentialInput& input) {
    report.Start(Text::SplitInterrupted);
    report.SetFailureNote([&report] {
        const std::vector<std::string>& pieces = report.Created();
        if (pieces.empty()) {
            return std::string();
        }
        std::int64_t bytes = 0;
        for (const std::string& piece : pieces) {
            bytes += std::max<std::int64_t>(FileSize(piece), 0);
        }
        return FormatText(Text::StandardInputKept, {pieces.back(), ByteCount(bytes)});
    });
    SplitStream(input, command.pieceSize, report, SplitOptionsOf(command));
    report.Finish();
}

// The pieces joined that could not be deleted are named on `err`: the join
// succeeded, and running it again deletes them.
void JoinCommand(const Command& command, Report& report, std::ostream& err) {
    const std::string& picked = command.operands[0];
    const std::string destination =
        InFolder(command.Value(Option::Folder), DestinationOfPiece(picked));
    RequirePieceToJoin(picked, destination, /*resumable=*/true);
    report.Start(Text::JoinInterrupted);
    const bool force = command.Has(Option::Force);
    const JoinOutcome outcome = Join(picked, destination, report,
                                     {.keepPieces = command.Has(Option::Keep),
                                      .consents = {.fullLastPiece = force, .otherFile = force}});
    report.Finish();
    for (const std::string& piece : outcome.undeleted) {
        err << kMessagePrefix << FormatText(Text::NotDeleted, piece) << '\n';
    }
}

void JoinToStandardOutputCommand(const Command& command, Report& report, TStream& output) {
    const std::string& picked = command.operands[0];
    RequirePieceToJoin(picked, {}, /*resumable=*/false);
    report.Start(Text::StreamJoinInterrupted);
    JoinToStream(picked, output, report, {.fullLastPiece = command.Has(Option::Force)});
    report.Finish();
}

// Lists the set on `out` and, when it has a checksum file, what it says of
// each piece and of the whole file (VerifySet), naming it. Returns false when
// the set can not be joined (a gap, a piece missing, of the wrong size,
// damaged: reported on `err`). Takes the names that regrouper takes, the
// pieces left by an interrupted join too.
bool VerifyCommand(const std::string& picked, std::ostream& out, std::ostream& err) {
    const std::string destination = DestinationOfPiece(picked);
    RequirePieceToJoin(picked, destination, /*resumable=*/true);
    const PieceSetSurvey survey = SurveyPieceSet(picked, destination);
    const SetVerdict verdict = VerifySet(survey, destination);
    std::int64_t total = 0;
    for (const SetVerdict::Piece& standing : verdict.standing) {
        total += standing.piece.facts.size;
    }
    const std::size_t width = std::to_string(total).size();
    std::vector<std::string> damaged;
    for (const SetVerdict::Piece& standing : verdict.standing) {
        const std::string path = survey.PathOf(standing.piece);
        const std::string size = std::to_string(standing.piece.facts.size);
        out << std::string(width - size.size(), ' ') << size << "  " << path;
        if (standing.intact) {
            out << (*standing.intact ? "  OK" : "  endommagé");
            if (!*standing.intact) {
                damaged.push_back(path);
            }
        }
        out << '\n';
    }
    using Whole = SetCheck::Whole;
    const std::size_t count = verdict.standing.size();
    out << "Total : " << count << (count > 1 ? " parties, " : " partie, ") << ByteCount(total)
        << '\n'
        << "Fichier regroupé : " << destination;
    const bool wholeSaid = !verdict.vouchesForPieces && verdict.whole != Whole::Unvouched;
    if (wholeSaid) {
        out << (verdict.whole == Whole::Intact ? "  OK" : "  endommagé");
    }
    out << '\n';
    if (verdict.vouchesForPieces || wholeSaid) {
        out << "Sommes de contrôle : " << verdict.vouchedBy << " ("
            << DigestName(survey.manifest->kind) << ")\n";
    }
    out.flush();
    bool sound = true;
    try {
        survey.Refuse();
        RequireConsents({.fullLastPiece = survey.fullLastPiece, .otherFile = {}}, {}, survey);
    } catch (const Failure& refusal) {
        err << kMessagePrefix << refusal.Message() << '\n';
        sound = false;
    }
    for (const std::string& piece : damaged) {
        err << kMessagePrefix << FormatText(Text::Damaged, piece) << '\n';
    }
    if (wholeSaid && verdict.whole == Whole::Damaged) {
        err << kMessagePrefix << FormatText(Text::Damaged, destination) << '\n';
        sound = false;
    }
    if (sound && damaged.empty() && verdict.whole == Whole::Contradicted) {
        err << kMessagePrefix << FormatText(Text::BadManifest, verdict.vouchedBy) << '\n';
        sound = false;
    }
    return sound && damaged.empty();
}

}  // namespace

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           bool errIsTerminal, const DataStreams& data) {
    int status = kExitSuccess;
    std::optional<Report> report;
    const auto complain = [&err](const std::string& text) {
        err << kMessagePrefix << text << '\n';
    };
    // A failure's message, then what stays of the work when the command says.
    const auto fail = [&](const std::string& text) {
        complain(text);
        if (const std::string note = report ? report->FailureNote() : ""; !note.empty()) {
            complain(note);
        }
    };
    try {
        const Command command = ParseArguments(arguments);
        if (command.Has(Option::Help)) {
            out << Usage();
        } else if (command.Has(Option::Version)) {
            out << kVersion;
        } else {
            report.emplace(command, out, err, errIsTerminal);
            if (command.name == "decouper") {
                if (command.operands[0] == kStandardInput) {
                    SplitStandardInputCommand(command, *report, data.input);
                } else if (command.Has(Option::InPlace)) {
                    InPlaceSplitCommand(command, *report);
                } else {
                    SplitCommand(command, *report);
                }
            } else if (command.name == "regrouper") {
                if (command.Has(Option::ToStandardOutput)) {
                    JoinToStandardOutputCommand(command, *report, data.output);
                } else {
                    JoinCommand(command, *report, err);
                }
            } else if (!VerifyCommand(command.operands[0], report->Results(), err)) {
                status = kExitFailure;
            }
        }
    } catch (const EInterrupted& interruption) {
        interruptionRequested = false;  // honoured
        fail(interruption.Message());
        status = kExitInterrupted;
    } catch (const UsageError& error) {
        complain(error.text);
        err << kSeeHelp;
        status = kExitUsage;
    } catch (const Failure& failure) {
        fail(failure.Message());
        status = kExitFailure;
    } catch (const std::exception& error) {
        // Not a failure of the file layer (memory, say): its own text, as it is.
        fail(error.what());
        status = kExitFailure;
    }
    // Output that could not be written (a full disk, a closed pipe) must not
    // pass for a success: a listing cut short is a failure.
    out.flush();
    if (!out && status == kExitSuccess) {
        complain(FormatText(Text::StreamWrite));
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
