#include "cli/commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

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
    "Options : -h, --aide, --help (ou /? sous Windows) affiche cette aide ;\n"
    "-- termine les options.\n"
    "Code de sortie : 0 en cas de succès, 1 si l'opération échoue ou si une\n"
    "partie manque, 2 si la commande est mal formée.\n";

constexpr const char* kSeeHelp = "Pour l'aide : morcelix-cli --aide\n";

// A mistake in the arguments: its text goes to standard error with the exit status 2.
struct UsageError {
    std::string text;
};

enum class Option { Help, Keep };

struct OptionSpec {
    Option option;
    // Every way of writing it; the unused ones are empty.
    std::array<std::string_view, 3> spellings;
    // The commands it applies to; none: every command.
    std::array<std::string_view, 2> commands;
};

constexpr OptionSpec kOptions[] = {
    {Option::Help, {"-h", "--aide", "--help"}, {}},
    {Option::Keep, {"--garder"}, {"regrouper"}},
};

// The number of operands of each command.
constexpr std::pair<std::string_view, std::size_t> kCommands[] = {
    {"decouper", 2},
    {"regrouper", 1},
    {"verifier", 1},
};

// "/?" asks for help on Windows, where no file name holds a "?"; elsewhere it is a path.
#ifdef _WIN32
constexpr bool kSlashAsksForHelp = true;
#else
constexpr bool kSlashAsksForHelp = false;
#endif

const OptionSpec* FindOption(std::string_view spelling) {
    if (kSlashAsksForHelp && spelling == "/?") {
        return &kOptions[0];
    }
    for (const OptionSpec& spec : kOptions) {
        if (std::find(spec.spellings.begin(), spec.spellings.end(), spelling) !=
            spec.spellings.end()) {
            return &spec;
        }
    }
    return nullptr;
}

// Options start with "--", or with "-" and a letter: "-5" is a size, to be
// refused as such, and "-" a file name.
bool IsOption(const std::string& argument) {
    return argument.starts_with("--") ||
           (argument.size() > 1 && argument[0] == '-' &&
            std::isalpha(static_cast<unsigned char>(argument[1]))) ||
           (kSlashAsksForHelp && argument == "/?");
}

struct Command {
    std::string name;
    std::vector<std::string> operands;
    // The options given, each with its spelling as typed.
    std::map<Option, std::string> options;

    bool Has(Option option) const { return options.contains(option); }
};

// "decouper et regrouper"
std::string CommandList(const std::array<std::string_view, 2>& commands) {
    std::string list(commands[0]);
    if (!commands[1].empty()) {
        list += " et " + std::string(commands[1]);
    }
    return list;
}

Command Parse(const std::vector<std::string>& arguments) {
    Command command;
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (const std::string& argument : arguments) {
        if (optionsEnded || !IsOption(argument)) {
            words.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (const OptionSpec* spec = FindOption(argument)) {
            command.options[spec->option] = argument;
        } else {
            throw UsageError{"Option inconnue : " + argument};
        }
    }
    if (command.Has(Option::Help)) {
        return command;
    }
    if (words.empty()) {
        throw UsageError{"Commande manquante"};
    }
    command.name = words.front();
    command.operands.assign(words.begin() + 1, words.end());

    const auto known = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const auto& entry) { return entry.first == command.name; });
    if (known == std::end(kCommands)) {
        throw UsageError{"Commande inconnue : " + command.name};
    }
    for (const auto& [option, spelling] : command.options) {
        const auto& commands = FindOption(spelling)->commands;
        if (!commands[0].empty() &&
            std::find(commands.begin(), commands.end(), command.name) == commands.end()) {
            throw UsageError{"L'option " + spelling + " ne s'applique qu'à " +
                             CommandList(commands)};
        }
    }
    if (command.operands.size() != known->second) {
        throw UsageError{"Nombre d'arguments incorrect pour " + command.name};
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

// A progress line when standard error is a terminal, nothing otherwise.
class Progress {
  public:
    Progress(std::ostream& err, bool errIsTerminal, std::int64_t total, ProgressLine::Meter meter) {
        if (errIsTerminal) {
            line_.emplace(err, total, std::move(meter));
        }
    }
    ProgressSink& Sink() { return line_ ? static_cast<ProgressSink&>(*line_) : silent_; }
    void Finish() {
        if (line_) {
            line_->Finish();
        }
    }

  private:
    std::optional<ProgressLine> line_;
    SilentProgress silent_;
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
    Progress progress(err, errIsTerminal, std::max<std::int64_t>(FileSize(source), 0), meter);
    Split(source, pieceSize, progress.Sink());
    progress.Finish();
}

void JoinCommand(const std::string& firstPiece, bool keepPieces, std::ostream& err,
                 bool errIsTerminal) {
    RequireFile(firstPiece);
    const std::string destination = JoinDestination(firstPiece);
    const std::int64_t total = SurveyPieceSet(firstPiece).totalSize;
    auto meter = [&destination](int) { return std::max<std::int64_t>(FileSize(destination), 0); };
    Progress progress(err, errIsTerminal, total, meter);
    Join(firstPiece, destination, progress.Sink(), {.keepPieces = keepPieces});
    progress.Finish();
}

// Lists the set on `out`; returns false when it has a gap (reported on `err`).
bool VerifyCommand(const std::string& firstPiece, std::ostream& out, std::ostream& err) {
    RequireFile(firstPiece);
    const PieceSetSurvey survey = SurveyPieceSet(firstPiece);
    std::size_t width = std::to_string(survey.totalSize).size();
    for (const SurveyedPiece& piece : survey.pieces) {
        const std::string size = std::to_string(piece.size);
        out << std::string(width - size.size(), ' ') << size << "  " << piece.path << '\n';
    }
    const std::size_t count = survey.pieces.size();
    out << "Total : " << count << (count > 1 ? " parties, " : " partie, ") << survey.totalSize
        << (survey.totalSize > 1 ? " octets" : " octet") << '\n'
        << "Fichier regroupé : " << JoinDestination(firstPiece) << '\n';
    out.flush();
    if (!survey.gapAt.empty()) {
        err << FormatText(Text::MissingPiece, survey.gapAt) << '\n';
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
        if (command.Has(Option::Help)) {
            out << kUsage;
        } else if (command.name == "decouper") {
            SplitCommand(command.operands[0], command.operands[1], err, errIsTerminal);
        } else if (command.name == "regrouper") {
            JoinCommand(command.operands[0], command.Has(Option::Keep), err, errIsTerminal);
        } else if (!VerifyCommand(command.operands[0], out, err)) {
            status = kExitFailure;
        }
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

}  // namespace morcelix::cli
