#include "cli/arguments.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string_view>

#include "pieces/size_entry.h"
#include "version.h"

namespace morcelix::cli {

const char* const kUsage =
    "Usage : morcelix-cli [OPTIONS] COMMANDE ARGUMENTS\n"
    "\n"
    "  morcelix-cli decouper [--somme] [-o DOSSIER] FICHIER TAILLE\n"
    "  morcelix-cli decouper [--somme] [-o DOSSIER] --parties N FICHIER\n"
    "      découpe FICHIER en parties de TAILLE Mo (1 Mo = 1 000 000 octets),\n"
    "      ou en N parties au plus, toutes de même taille sauf la dernière,\n"
    "      plus courte ; elles sont écrites à côté de lui, ou dans DOSSIER :\n"
    "      FICHIER.001, FICHIER.002, etc. TAILLE est un nombre entier de Mo,\n"
    "      ou cd (700 Mo), dvd (4697 Mo), fat32 (4294 Mo). Avec --somme,\n"
    "      FICHIER.sha256 est écrit à côté des parties : la somme SHA-256 de\n"
    "      chacune et du fichier entier, que tout regroupage vérifie.\n"
    "  morcelix-cli regrouper [--garder] [-o DOSSIER] PREMIER.001\n"
    "      reconstitue le fichier à côté de ses parties, ou dans DOSSIER, et\n"
    "      supprime chaque partie une fois ajoutée ; avec --garder, les parties\n"
    "      sont conservées.\n"
    "  morcelix-cli verifier PREMIER.001\n"
    "      liste les parties, leurs tailles et le total sans rien modifier,\n"
    "      et signale la première partie manquante ; avec un fichier de\n"
    "      sommes, lit chaque partie et la dit OK ou endommagée.\n"
    "\n"
    "Options :\n"
    "  -o, --dossier DOSSIER  écrit les parties ou le fichier regroupé dans DOSSIER\n"
    "  --parties N            découpe en N parties au plus au lieu de TAILLE Mo\n"
    "  --somme                écrit aussi FICHIER.sha256, les sommes des parties\n"
    "  --verbeux              affiche chaque fichier créé ou supprimé\n"
    "  --silencieux           n'affiche rien d'autre que les échecs\n"
    "  -h, --aide, --help     affiche cette aide (et /? sous Windows)\n"
    "  -V, --version          affiche la version et la licence\n"
    "  --                     termine les options\n"
    "\n"
    "Un regroupage interrompu se termine en relançant la même commande.\n"
    "\n"
    "Code de sortie : 0 en cas de succès, 1 si l'opération échoue ou si une\n"
    "partie manque ou est endommagée, 2 si la commande est mal formée, 130\n"
    "après une interruption (Ctrl+C).\n";

const char* const kSeeHelp = "Pour l'aide : morcelix-cli --aide\n";

const char* const kVersion =
    "morcelix-cli " MORCELIX_VERSION_STRING "\nLicence MIT, " MORCELIX_COPYRIGHT "\n";

namespace {

struct OptionEntry {
    Option option;
    // Every way of writing it; the unused ones are empty.
    std::array<std::string_view, 3> spellings;
    // The commands it applies to; none: every command.
    std::array<std::string_view, 2> commands;
    bool takesValue = false;
};

constexpr OptionEntry kOptions[] = {
    {Option::Help, {"-h", "--aide", "--help"}, {}},
    {Option::Version, {"-V", "--version"}, {}},
    {Option::Keep, {"--garder"}, {"regrouper"}},
    {Option::Folder, {"-o", "--dossier"}, {"decouper", "regrouper"}, true},
    {Option::Parts, {"--parties"}, {"decouper"}, true},
    {Option::Checksum, {"--somme"}, {"decouper"}},
    {Option::Verbose, {"--verbeux"}, {}},
    {Option::Quiet, {"--silencieux"}, {}},
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

const OptionEntry* FindOption(std::string_view spelling) {
    if (kSlashAsksForHelp && spelling == "/?") {
        return &kOptions[0];
    }
    for (const OptionEntry& entry : kOptions) {
        if (std::find(entry.spellings.begin(), entry.spellings.end(), spelling) !=
            entry.spellings.end()) {
            return &entry;
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

constexpr std::pair<std::string_view, std::int64_t> kPresets[] = {
    {"cd", 700000000},
    {"dvd", 4697000000},
    {"fat32", 4294000000},
};

bool SameLetters(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
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

}  // namespace

Command ParseArguments(const std::vector<std::string>& arguments) {
    Command command;
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (optionsEnded || !IsOption(argument)) {
            words.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals =
            argument.starts_with("--") ? argument.find('=') : std::string::npos;
        const std::string spelling = argument.substr(0, equals);
        const OptionEntry* entry = FindOption(spelling);
        if (entry == nullptr) {
            throw UsageError{"Option inconnue : " + argument};
        }
        GivenOption& given = command.options[entry->option] = {spelling, {}};
        if (!entry->takesValue) {
            if (equals != std::string::npos) {
                throw UsageError{"L'option " + spelling + " ne prend pas de valeur"};
            }
        } else {
            if (equals != std::string::npos) {
                given.value = argument.substr(equals + 1);
            } else if (at + 1 < arguments.size()) {
                given.value = arguments[++at];
            }
            if (given.value.empty()) {
                throw UsageError{"Valeur manquante pour l'option " + spelling};
            }
        }
    }
    if (command.Has(Option::Help) || command.Has(Option::Version)) {
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
    for (const auto& [option, given] : command.options) {
        const std::string& spelling = given.spelling;
        const auto& commands = FindOption(spelling)->commands;
        if (!commands[0].empty() &&
            std::find(commands.begin(), commands.end(), command.name) == commands.end()) {
            throw UsageError{"L'option " + spelling + " ne s'applique qu'à " +
                             CommandList(commands)};
        }
    }
    if (command.Has(Option::Verbose) && command.Has(Option::Quiet)) {
        throw UsageError{"Les options --verbeux et --silencieux s'excluent"};
    }
    std::size_t operands = known->second;
    if (command.Has(Option::Parts)) {
        if (command.operands.size() == operands) {
            throw UsageError{"L'option --parties remplace TAILLE : donnez l'un ou l'autre"};
        }
        --operands;
    }
    if (command.operands.size() != operands) {
        throw UsageError{"Nombre d'arguments incorrect pour " + command.name};
    }
    if (command.Has(Option::Parts)) {
        command.parts = ReadPartsCount(command.Value(Option::Parts));
    }
    return command;
}

std::int64_t PieceSizeFromArgument(const std::string& text) {
    for (const auto& [name, size] : kPresets) {
        if (SameLetters(text, name)) {
            return size;
        }
    }
    return PieceSizeFromEntry(text);
}

}  // namespace morcelix::cli
