#include "cli/commands.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <optional>

#include "cli/progress_line.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "pieces/size_entry.h"
#include "pieces/split.h"

namespace morcelix::cli {

namespace {

constexpr const char* kUsage =
    "Usage : morcelix-cli COMMANDE ARGUMENTS\n"
    "\n"
    "  morcelix-cli decouper FICHIER TAILLE\n"
    "      découpe FICHIER en parties de TAILLE Mo (1 Mo = 1 000 000 octets),\n"
    "      écrites à côté de lui : FICHIER.001, FICHIER.002, etc.\n"
    "  morcelix-cli regrouper [--garder] PREMIER.001\n"
    "      reconstitue le fichier à partir de ses parties et supprime chaque\n"
    "      partie une fois ajoutée ; avec --garder, les parties sont conservées.\n"
    "  morcelix-cli verifier PREMIER.001\n"
    "      liste les parties, leurs tailles et le total sans rien modifier,\n"
    "      et signale la première partie manquante.\n"
    "\n"
    "Options : -h, --aide affiche cette aide ; -- termine les options.\n"
    "Code de sortie : 0 en cas de succès, 1 si l'opération échoue ou si une\n"
    "partie manque, 2 si la commande est mal formée.\n";

constexpr const char* kSeeHelp = "Pour l'aide : morcelix-cli --aide\n";

// A mistake in the arguments: its text goes to standard error with the exit status 2.
struct UsageError {
    std::string text;
};

struct Command {
    std::string name;
    std::vector<std::string> operands;
    bool keepPieces = false;
    bool help = false;
};

Command Parse(const std::vector<std::string>& arguments) {
    Command command;
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (const std::string& argument : arguments) {
        if (optionsEnded) {
            words.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--aide") {
            command.help = true;
        } else if (argument == "--garder") {
            command.keepPieces = true;
        } else if (argument.starts_with("--")) {
            throw UsageError{"Option inconnue : " + argument};
        } else {
            // A single dash starts no option: "-5" is a size, to be refused as such.
            words.push_back(argument);
        }
    }
    if (command.help) {
        return command;
    }
    if (words.empty()) {
        throw UsageError{"Commande manquante"};
    }
    command.name = words.front();
    command.operands.assign(words.begin() + 1, words.end());

    std::size_t expected = 0;
    if (command.name == "decouper") {
        expected = 2;
    } else if (command.name == "regrouper" || command.name == "verifier") {
        expected = 1;
    } else {
        throw UsageError{"Commande inconnue : " + command.name};
    }
    if (command.operands.size() != expected) {
        throw UsageError{"Nombre d'arguments incorrect pour " + command.name};
    }
    if (command.keepPieces && command.name != "regrouper") {
        throw UsageError{"L'option --garder ne s'applique qu'à regrouper"};
    }
    return command;
}

// The window's check before either operation: a path that names no file stops
// it with "Fichier non trouvé", before anything else is read.
void RequireFile(const std::string& path) {
    if (!FileExists(path)) {
        throw Failure(Text::FileNotFound, {});
    }
}

std::atomic<bool> interruptionRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// What an operation reports: drawn as a progress line when standard error is
// a terminal. A requested interruption stops the operation here, between two
// blocks, with `interrupted` as its message.
class Progress final : public ProgressSink {
  public:
    Progress(std::ostream& err, bool errIsTerminal, std::int64_t total, ProgressLine::Meter meter,
             Text interrupted)
        : interrupted_(interrupted) {
        if (errIsTerminal) {
            line_.emplace(err, total, std::move(meter));
        }
    }
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
    void Finish() {
        if (line_) {
            line_->Finish();
        }
    }

  private:
    void StopIfAsked() const {
        if (InterruptionRequested()) {
            throw EInterrupted(interrupted_);
        }
    }

    Text interrupted_;
    std::optional<ProgressLine> line_;
};

void SplitCommand(const std::string& source, const std::string& sizeText, std::ostream& err,
                  bool errIsTerminal) {
    RequireFile(source);
    const std::int64_t pieceSize = PieceSizeFromEntry(sizeText);
    // Split reports 0 first, then once after each piece: the pieces before the
    // one being written are full, and that one holds what is copied so far.
    auto meter = [&source, pieceSize](int reports) {
        const std::int64_t finished = std::max(reports - 1, 0);
        const std::int64_t current =
            FileSize(PieceName(source, static_cast<std::uint64_t>(finished) + 1));
        return finished * pieceSize + std::max<std::int64_t>(current, 0);
    };
    Progress progress(err, errIsTerminal, std::max<std::int64_t>(FileSize(source), 0), meter,
                      Text::SplitInterrupted);
    Split(source, pieceSize, progress);
    progress.Finish();
}

// The file a join rebuilds from `picked`: its name less its number extension,
// so that a later piece of an interrupted join ("film.avi.1000") leads to the
// same file as the first one.
std::string DestinationOf(const std::string& picked) {
    return OwnPieceNumber(picked) != 0 ? ChangeExtension(picked, "") : JoinDestination(picked);
}

void JoinCommand(const std::string& picked, bool keepPieces, std::ostream& err,
                 bool errIsTerminal) {
    const std::string destination = DestinationOf(picked);
    const std::int64_t total = SurveyPieceSet(picked, destination).totalSize;
    auto meter = [&destination](int) { return std::max<std::int64_t>(FileSize(destination), 0); };
    Progress progress(err, errIsTerminal, total, meter, Text::JoinInterrupted);
    Join(picked, destination, progress, {.keepPieces = keepPieces});
    progress.Finish();
}

// Lists the set on `out`; returns false when it can not be joined (a gap, a
// piece of the wrong size: reported on `err`).
bool VerifyCommand(const std::string& firstPiece, std::ostream& out, std::ostream& err) {
    RequireFile(firstPiece);
    const PieceSetSurvey survey = SurveyPieceSet(firstPiece, DestinationOf(firstPiece));
    std::size_t width = std::to_string(survey.totalSize).size();
    for (const SurveyedPiece& piece : survey.pieces) {
        const std::string size = std::to_string(piece.facts.size);
        out << std::string(width - size.size(), ' ') << size << "  " << piece.path << '\n';
    }
    const std::size_t count = survey.pieces.size();
    out << "Total : " << count << (count > 1 ? " parties, " : " partie, ") << survey.totalSize
        << (survey.totalSize > 1 ? " octets" : " octet") << '\n'
        << "Fichier regroupé : " << JoinDestination(firstPiece) << '\n';
    out.flush();
    try {
        survey.Refuse();
    } catch (const Failure& refusal) {
        err << refusal.Message() << '\n';
        return false;
    }
    return true;
}

}  // namespace

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           bool errIsTerminal) {
    int status = kExitSuccess;
    try {
        const Command command = Parse(arguments);
        if (command.help) {
            out << kUsage;
        } else if (command.name == "decouper") {
            SplitCommand(command.operands[0], command.operands[1], err, errIsTerminal);
        } else if (command.name == "regrouper") {
            JoinCommand(command.operands[0], command.keepPieces, err, errIsTerminal);
        } else if (!VerifyCommand(command.operands[0], out, err)) {
            status = kExitFailure;
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

}  // namespace morcelix::cli
