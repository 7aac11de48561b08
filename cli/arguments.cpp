#include "cli/arguments.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>

#include "cli/option_table.h"
#include "pieces/failure.h"
#include "version.h"

namespace morcelix::cli {

const char* const kSeeHelp = "Pour l'aide : morcelix-cli --aide\n";

const char* const kVersion =
    "morcelix-cli " MORCELIX_VERSION_STRING "\nLicence MIT, " MORCELIX_COPYRIGHT "\n";

namespace {

// What the help says before the presets.
constexpr const char* kUsageHead =
    "Usage : morcelix-cli [OPTIONS] COMMANDE ARGUMENTS\n"
    "\n"
    "  morcelix-cli decouper [--somme] [--secours N] [--notice] [-o DOSSIER] [--nom NOM]\n"
    "                        FICHIER TAILLE\n"
    "  morcelix-cli decouper [--somme] [--secours N] [--notice] [-o DOSSIER] [--nom NOM]\n"
    "                        --parties N FICHIER\n"
    "  morcelix-cli decouper [--somme] [--secours N] [--notice] [-o DOSSIER] --nom NOM\n"
    "                        - TAILLE\n"
    "      découpe FICHIER en parties de TAILLE, ou en N parties au plus,\n"
    "      toutes de même taille sauf la dernière, plus courte ; elles sont\n"
    "      écrites à côté de lui, ou dans DOSSIER : FICHIER.001, FICHIER.002,\n"
    "      etc., ou NOM.001, NOM.002, etc. avec --nom. Avec -, découpe l'entrée\n"
    "      standard jusqu'à sa fin, dans le dossier courant ou dans DOSSIER.\n"
    "      Avec --somme, FICHIER.sha256 (ou NOM.sha256) est écrit à côté des\n"
    "      parties : la somme SHA-256 de chacune et du fichier entier, que\n"
    "      tout regroupage vérifie ; avec --somme=crc, FICHIER.crc aussi : le\n"
    "      nom, la taille et le CRC-32 du fichier entier, que vérifient les\n"
    "      gestionnaires de fichiers à deux panneaux.\n"
    "  morcelix-cli decouper --sur-place [--somme] [-o DOSSIER] FICHIER TAILLE\n"
    "      découpe FICHIER sans le garder, quand le disque n'a pas la place\n"
    "      d'une copie : FICHIER devient lui-même ses parties, et il suffit de\n"
    "      la place d'une partie (avec -o vers un autre disque, de celle du\n"
    "      fichier entier là-bas). Interrompu, il se termine en relançant la\n"
    "      même commande.\n"
    "  morcelix-cli regrouper [--garder] [-f] [-o DOSSIER] PREMIER.001\n"
    "  morcelix-cli regrouper -c [-f] PREMIER.001\n"
    "      reconstitue le fichier à côté de ses parties, ou dans DOSSIER, et\n"
    "      supprime chaque partie une fois ajoutée ; avec --garder, les parties\n"
    "      sont conservées. Avec -c, écrit le fichier sur la sortie standard\n"
    "      et garde toutes les parties. Un fichier existant qui n'est pas ce\n"
    "      regroupement, ou un découpage dont la dernière partie n'est pas\n"
    "      plus courte que les autres (il en manque peut-être), est refusé\n"
    "      sans -f.\n"
    "  morcelix-cli verifier PREMIER.001\n"
    "      liste les parties, leurs tailles et le total sans rien modifier,\n"
    "      et signale la première partie manquante ; avec un fichier de\n"
    "      sommes, lit chaque partie et la dit OK ou endommagée (ou le\n"
    "      fichier entier, quand seul lui a une somme), et nomme ce fichier.\n"
    "\n"
    "Fichiers de sommes : à côté de FICHIER.001, le premier trouvé parmi\n"
    "FICHIER.sha256, .sha512, .sha1, .md5 (listes de sha256sum, sha1sum...,\n"
    "ou lignes BSD « SHA256 (nom) = somme »), .sfv (CRC-32) et .crc (nom,\n"
    "taille et CRC-32 du fichier entier). Chaque partie listée est vérifiée\n"
    "avant d'être supprimée ; une somme du seul fichier entier est vérifiée\n"
    "en lisant tout le découpage avant de rien modifier.\n"
    "\n"
    "TAILLE : un nombre de Mo (1 Mo = 1 000 000 octets), entier ou décimal\n"
    "(1,5 ou 1.5), ou un nombre suivi d'une unité : o ; k, Ko ; M, Mo ; G, Go ;\n"
    "T, To (puissances de 1000) ; Kio, Mio, Gio, Tio (puissances de 1024).\n"
    "Ou une taille prédéfinie :\n";

// What the help says after the options.
constexpr const char* kUsageTail =
    "  --                     termine les options\n"
    "\n"
    "Un regroupage ou un découpage sur place interrompu se termine en relançant\n"
    "la même commande.\n"
    "\n"
    "Codes de sortie :\n"
    "  0    succès\n"
    "  1    opération refusée ou échouée (partie manquante ou endommagée...)\n"
    "  2    erreur dans la ligne de commande (commande, option ou valeur)\n"
    "  130  opération interrompue (Ctrl+C)\n";

// Options that can not be given together.
constexpr std::pair<Option, Option> kExclusive[] = {
    {Option::Verbose, Option::Quiet},
    {Option::ToStandardOutput, Option::Folder},
    // N parts of a file that a resumed split finds cut already: its size no longer says.
    {Option::InPlace, Option::Parts},
    // The recovery files are made from the pieces on the disk, and the split
    // in place has its first piece only once the file is renamed.
    {Option::InPlace, Option::Recovery},
};

// What getopt_long returns for the long names of kOptions[i]: kLongCode + i,
// beyond every character.
constexpr int kLongCode = 0x100;
// What it returns for an argument that is not an option, in order.
constexpr int kWord = 1;

// getopt_long's short options: "-" returns the other arguments in order
// (kWord), so that options go anywhere whatever POSIXLY_CORRECT says; ":"
// keeps it from writing its own messages.
std::string ShortOptions() {
    std::string text = "-:";
    for (const OptionEntry& entry : kOptions) {
        if (entry.shortName != 0) {
            text += entry.shortName;
            if (entry.takes == Takes::kValue) {
                text += ':';
            }
        }
    }
    return text;
}

std::vector<option> LongOptions() {
    std::vector<option> options;
    for (std::size_t i = 0; i < std::size(kOptions); ++i) {
        for (const char* name : kOptions[i].longNames) {
            if (name != nullptr) {
                options.push_back({name, static_cast<int>(kOptions[i].takes), nullptr,
                                   kLongCode + static_cast<int>(i)});
            }
        }
    }
    options.push_back({});
    return options;
}

const OptionEntry* FindShort(int name) {
    const auto found =
        std::find_if(std::begin(kOptions), std::end(kOptions), [name](const OptionEntry& entry) {
            return entry.shortName != 0 && entry.shortName == name;
        });
    return found == std::end(kOptions) ? nullptr : found;
}

const OptionEntry& EntryOf(Option option) {
    return *std::find_if(std::begin(kOptions), std::end(kOptions),
                         [option](const OptionEntry& entry) { return entry.option == option; });
}

// What is wrong with a known option getopt_long refused, written `spelling`:
// its value is missing, or it takes none and was given one.
std::string SpelledMistake(const OptionEntry& entry, const std::string& spelling) {
    if (entry.takes != Takes::kNothing) {
        return "Valeur manquante pour l'option " + spelling;
    }
    return "L'option " + spelling + " ne prend pas de valeur";
}

// "--nom ou --notice", "--somme, --stdout ou --silencieux": the options a
// shortened name fits, for the message that refuses it.
std::string AlternativesList(const std::vector<std::string>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == names.size() ? " ou " : ", ") + names[i];
    }
    return list;
}

// What is wrong with `word`, a long option getopt_long refused: one it does
// not know, one whose shortened name fits several (named, so that the user
// sees which to write in full), a value given to an option that takes none,
// or a value missing at the end.
std::string LongOptionMistake(const std::string& word) {
    const std::string name = word.substr(2, word.find('=') - 2);
    const OptionEntry* fitting = nullptr;
    std::vector<std::string> fittingNames;
    bool ambiguous = false;
    for (const OptionEntry& entry : kOptions) {
        for (const char* longName : entry.longNames) {
            if (longName == nullptr || !std::string_view(longName).starts_with(name)) {
                continue;
            }
            if (longName == name) {  // a name in full is never ambiguous
                return SpelledMistake(entry, "--" + name);
            }
            ambiguous = ambiguous || (fitting != nullptr && fitting != &entry);
            if (fitting == nullptr) {
                fitting = &entry;
            }
            fittingNames.push_back("--" + std::string(longName));
        }
    }
    if (fitting == nullptr) {
        return "Option inconnue : " + word;
    }
    if (ambiguous) {
        return "Option ambiguë : " + word + " (" + AlternativesList(fittingNames) + " ?)";
    }
    return SpelledMistake(*fitting, fittingNames.front());
}

// What is wrong with short option `name`, refused: unknown, or its value missing.
std::string ShortOptionMistake(int name) {
    const std::string spelling = {'-', static_cast<char>(name)};
    const OptionEntry* entry = FindShort(name);
    return entry != nullptr ? SpelledMistake(*entry, spelling) : "Option inconnue : " + spelling;
}

// N of --parties: decimal digits only, a whole number from 1 up.
std::int64_t ReadPartsCount(const std::string& text) {
    std::int64_t count = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, count);
    if (!std::isdigit(static_cast<unsigned char>(text[0])) || error != std::errc() || stop != end ||
        count < 1) {
        throw UsageError{"'" + text + "' n'est pas un nombre de parties correct"};
    }
    return count;
}

// "decouper et regrouper"
std::string CommandList(const std::array<std::string_view, 2>& commands) {
    std::string list(commands[0]);
    if (!commands[1].empty()) {
        list += " et " + std::string(commands[1]);
    }
    return list;
}

// Reads the options into `command` and returns the other arguments, in order.
std::vector<std::string> ReadOptions(const std::vector<std::string>& arguments, Command& command) {
    static const std::string shortOptions = ShortOptions();
    static const std::vector<option> longOptions = LongOptions();
    // getopt_long takes writable arguments: it gets copies.
    std::vector<std::string> words = {"morcelix-cli"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    // 0 starts a new reading, forgetting the last one (glibc and MinGW-w64 alike).
    optind = 0;
    opterr = 0;
    std::vector<std::string> others;
    for (;;) {
        // The argument about to be read: a refusal is about it. (optind is 0
        // before the first call, which starts at 1.)
        const int at = std::max(optind, 1);
        int longIndex = -1;
        const int code =
            getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), &longIndex);
        if (code == -1) {
            break;
        }
        if (code == kWord) {
            others.emplace_back(optarg);
            continue;
        }
        if (code == '?' || code == ':') {
            const std::string word = argv[at];
            throw UsageError{word.starts_with("--") ? LongOptionMistake(word)
                                                    : ShortOptionMistake(optopt)};
        }
        const OptionEntry& entry =
            code >= kLongCode ? kOptions[code - kLongCode] : *FindShort(code);
        const std::string spelling = longIndex >= 0
                                         ? "--" + std::string(longOptions[longIndex].name)
                                         : std::string{'-', static_cast<char>(code)};
        GivenOption& given = command.options[entry.option] = {spelling, {}};
        if (entry.takes != Takes::kNothing && optarg != nullptr) {
            given.value = optarg;
            if (given.value.empty()) {
                throw UsageError{"Valeur manquante pour l'option " + spelling};
            }
        }
    }
    // After "--": operands, whatever they look like.
    others.insert(others.end(), argv.begin() + optind, argv.end() - 1);
    return others;
}

// The refusals that depend on the command and on the options given together.
void CheckOptions(const Command& command) {
    for (const auto& [option, given] : command.options) {
        const auto& commands = EntryOf(option).commands;
        if (!commands[0].empty() &&
            std::find(commands.begin(), commands.end(), command.name) == commands.end()) {
            throw UsageError{"L'option " + given.spelling + " ne s'applique qu'à " +
                             CommandList(commands)};
        }
    }
    for (const auto& [one, other] : kExclusive) {
        if (command.Has(one) && command.Has(other)) {
            throw UsageError{"Les options " + command.options.at(one).spelling + " et " +
                             command.options.at(other).spelling + " s'excluent"};
        }
    }
}

constexpr std::int64_t kMo = 1000000;

// The units a number of bytes may be given in, in lower case.
constexpr std::pair<std::string_view, std::int64_t> kUnits[] = {
    {"o", 1},
    {"k", 1000},
    {"ko", 1000},
    {"kb", 1000},
    {"m", kMo},
    {"mo", kMo},
    {"mb", kMo},
    {"g", 1000 * kMo},
    {"go", 1000 * kMo},
    {"gb", 1000 * kMo},
    {"t", 1000000 * kMo},
    {"to", 1000000 * kMo},
    {"tb", 1000000 * kMo},
    {"kio", std::int64_t{1} << 10},
    {"kib", std::int64_t{1} << 10},
    {"mio", std::int64_t{1} << 20},
    {"mib", std::int64_t{1} << 20},
    {"gio", std::int64_t{1} << 30},
    {"gib", std::int64_t{1} << 30},
    {"tio", std::int64_t{1} << 40},
    {"tib", std::int64_t{1} << 40},
};

std::string Lowered(std::string_view text) {
    std::string lowered;
    for (const char c : text) {
        lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lowered;
}

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The leading decimal digits of `text`, taken off it.
std::string_view TakeDigits(std::string_view& text) {
    const std::size_t count =
        std::find_if(text.begin(), text.end(),
                     [](char c) { return !std::isdigit(static_cast<unsigned char>(c)); }) -
        text.begin();
    const std::string_view digits = text.substr(0, count);
    text.remove_prefix(count);
    return digits;
}

// a * scale + b for a, b >= 0 and scale >= 1; nothing beyond 2^63 - 1.
std::optional<std::int64_t> ScaledSum(std::int64_t a, std::int64_t scale, std::int64_t b) {
    if (a > (std::numeric_limits<std::int64_t>::max() - b) / scale) {
        return std::nullopt;
    }
    return a * scale + b;
}

// The whole part of 0.`digits` times `scale` (up to 2^40), exactly: the
// carry out of the decimal multiplication of `digits` by `scale`, made from
// the last digit to the first.
std::int64_t FractionTimes(std::string_view digits, std::int64_t scale) {
    std::int64_t carry = 0;
    for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) {
        carry = ((*digit - '0') * scale + carry) / 10;
    }
    return carry;
}

// The bytes `text` stands for as a number and a unit; nothing when it is not one.
std::optional<std::int64_t> NumberOfBytes(std::string_view text) {
    text = Trimmed(text);
    const std::string_view whole = TakeDigits(text);
    std::string_view fraction;
    if (text.starts_with(',') || text.starts_with('.')) {
        text.remove_prefix(1);
        fraction = TakeDigits(text);
        if (fraction.empty()) {
            return std::nullopt;
        }
    }
    if (whole.empty()) {
        return std::nullopt;
    }
    std::int64_t scale = kMo;
    if (const std::string unit = Lowered(Trimmed(text)); !unit.empty()) {
        const auto known = std::find_if(std::begin(kUnits), std::end(kUnits),
                                        [&](const auto& entry) { return entry.first == unit; });
        if (known == std::end(kUnits)) {
            return std::nullopt;
        }
        scale = known->second;
    }
    std::optional<std::int64_t> number = 0;
    for (const char digit : whole) {
        number = ScaledSum(*number, 10, digit - '0');
        if (!number) {
            return std::nullopt;
        }
    }
    return ScaledSum(*number, scale, FractionTimes(fraction, scale));
}

// "-o, --dossier DOSSIER", "--somme[=crc]", "-h, --aide, --help": how the help names an option.
std::string OptionLabel(const OptionEntry& entry) {
    std::string label;
    if (entry.shortName != 0) {
        label = std::string{'-', entry.shortName} + ", ";
    }
    for (const char* name : entry.longNames) {
        if (name != nullptr) {
            label += std::string(label.empty() || label.ends_with(", ") ? "" : ", ") + "--" + name;
        }
    }
    return label += entry.valueName;
}

}  // namespace

Command ParseArguments(const std::vector<std::string>& arguments) {
    Command command;
    const std::vector<std::string> words = ReadOptions(arguments, command);
    if (command.Has(Option::Help) || command.Has(Option::Version)) {
        return command;
    }
    if (words.empty()) {
        throw UsageError{"Commande manquante"};
    }
    command.name = words.front();
    command.operands.assign(words.begin() + 1, words.end());

    const auto known =
        std::find_if(std::begin(kCommands), std::end(kCommands),
                     [&](const CommandEntry& entry) { return entry.name == command.name; });
    if (known == std::end(kCommands)) {
        throw UsageError{"Commande inconnue : " + command.name};
    }
    CheckOptions(command);
    std::size_t operands = known->operands;
    if (command.Has(Option::Parts)) {
        if (command.operands.size() == operands) {
            throw UsageError{"L'option --parties remplace TAILLE : donnez l'un ou l'autre"};
        }
        --operands;
    }
    if (command.operands.size() != operands) {
        throw UsageError{"Nombre d'arguments incorrect pour " + command.name};
    }
    if (command.name != "decouper") {
        return command;
    }
    if (const std::string kind = command.Value(Option::Checksum); !kind.empty() && kind != "crc") {
        throw UsageError{"Valeur inconnue pour l'option " +
                         command.options.at(Option::Checksum).spelling + " : " + kind};
    }
    if (command.Has(Option::Recovery)) {
        const std::string& text = command.Value(Option::Recovery);
        char* end = nullptr;
        errno = 0;
        const unsigned long slices = std::strtoul(text.c_str(), &end, 10);
        if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 ||
            slices < 1 || slices > 65535) {
            throw UsageError{"Valeur incorrecte pour l'option " +
                             command.options.at(Option::Recovery).spelling + " : " + text +
                             " (un nombre de 1 à 65535)"};
        }
        command.recoverySlices = static_cast<std::uint32_t>(slices);
    }
    if (command.operands[0] == kStandardInput) {
        if (command.Has(Option::Parts)) {
            throw UsageError{"L'option --parties ne s'applique pas à l'entrée standard (-)"};
        }
        if (command.Has(Option::InPlace)) {
            throw UsageError{"L'option --sur-place ne s'applique pas à l'entrée standard (-)"};
        }
        if (!command.Has(Option::Name)) {
            throw UsageError{"L'entrée standard (-) se découpe avec --nom NOM"};
        }
    }
    if (command.Has(Option::Parts)) {
        command.parts = ReadPartsCount(command.Value(Option::Parts));
    } else {
        command.pieceSize = PieceSizeFromArgument(command.operands[1]);
    }
    return command;
}

const std::string& Usage() {
    static const std::string usage = [] {
        std::string text = kUsageHead;
        const auto column = [&text](std::string_view first, std::size_t width) {
            text += first;
            text.append(width > first.size() ? width - first.size() : 1, ' ');
        };
        for (const PresetEntry& preset : kPresets) {
            text += "  ";
            column(preset.name, 10);
            column(std::to_string(preset.bytes / kMo) + " Mo", 10);
            text += std::string(preset.purpose) + "\n";
        }
        text += "\nOptions :\n";
        constexpr std::size_t kLabelWidth = 23;
        for (const OptionEntry& entry : kOptions) {
            text += "  ";
            column(OptionLabel(entry), kLabelWidth);
            std::string_view help = entry.help;
            for (std::size_t end; (end = help.find('\n')) != std::string_view::npos;) {
                text += std::string(help.substr(0, end)) + "\n" + std::string(2 + kLabelWidth, ' ');
                help.remove_prefix(end + 1);
            }
            text += std::string(help) + "\n";
        }
        return text + kUsageTail;
    }();
    return usage;
}

std::int64_t PieceSizeFromArgument(const std::string& text) {
    const std::string lowered = Lowered(text);
    for (const PresetEntry& preset : kPresets) {
        if (lowered == preset.name) {
            return preset.bytes;
        }
    }
    const std::optional<std::int64_t> bytes = NumberOfBytes(text);
    if (!bytes || *bytes < 1) {
        throw UsageError{FormatText(Text::NotAPieceSize, text)};
    }
    return *bytes;
}

}  // namespace morcelix::cli
