// morcelix-cli's commands, options and size presets, each once: the reading
// of the command line, the help and the bash completion are all made from
// these tables. A new option is one row here and its handling in commands.cpp.
#pragma once

#include <getopt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cli/arguments.h"

namespace morcelix::cli {

// Whether an option takes a value: getopt_long's no_argument,
// required_argument or optional_argument (given after "=" only).
enum class Takes {
    kNothing = no_argument,
    kValue = required_argument,
    kMaybeValue = optional_argument
};

struct OptionEntry {
    Option option;
    char shortName;  // 0: none
    // The long names, without "--"; an unused one is null.
    std::array<const char*, 2> longNames;
    Takes takes;
    // The commands it applies to; none: every command.
    std::array<std::string_view, 2> commands;
    // What the help writes after the names: " DOSSIER" for a value, "[=crc]"
    // for an optional one; empty for none.
    std::string_view valueName;
    // The help's description; its lines after the first are indented by the help.
    std::string_view help;
    // The values the completion offers after "=" (an optional value), spaced.
    std::string_view values = {};
};

// Every option, in the help's order.
// A row a line or two, as the help lists them.
// clang-format off
inline constexpr OptionEntry kOptions[] = {
    {Option::Folder, 'o', {"dossier"}, Takes::kValue, {"decouper", "regrouper"}, " DOSSIER",
     "écrit les parties ou le fichier regroupé dans DOSSIER"},
    {Option::Parts, 0, {"parties"}, Takes::kValue, {"decouper"}, " N",
     "découpe en N parties au plus au lieu de TAILLE"},
    {Option::Name, 0, {"nom"}, Takes::kValue, {"decouper"}, " NOM",
     "nomme les parties NOM.001, NOM.002, etc."},
    {Option::Checksum, 0, {"somme"}, Takes::kMaybeValue, {"decouper"}, "[=crc]",
     "écrit aussi le fichier de sommes des parties\n"
     "(et avec =crc, celui du fichier entier, .crc)",
     "crc"},
    {Option::Recovery, 0, {"secours"}, Takes::kValue, {"decouper"}, " N",
     "écrit aussi NOM.par2 et NOM.volAA+BB.par2 : des\n"
     "données de secours PAR2 qui reconstruisent N\n"
     "parties perdues ou endommagées (N de 1 à 65535)"},
    {Option::InPlace, 0, {"sur-place"}, Takes::kNothing, {"decouper"}, {},
     "découpe le fichier lui-même en ses parties"},
    {Option::Notice, 0, {"notice"}, Takes::kNothing, {"decouper"}, {},
     "écrit aussi NOM.regrouper.txt à côté des parties :\n"
     "pour qui n'a pas morcelix, les commandes qui\n"
     "regroupent et vérifient le fichier sous Windows,\n"
     "macOS et Linux (en français puis en anglais)"},
    {Option::Keep, 0, {"garder"}, Takes::kNothing, {"regrouper"}, {},
     "garde les parties une fois regroupées"},
    {Option::ToStandardOutput, 'c', {"stdout"}, Takes::kNothing, {"regrouper"}, {},
     "écrit le fichier regroupé sur la sortie standard"},
    {Option::Force, 'f', {"forcer"}, Takes::kNothing, {"decouper", "regrouper"}, {},
     "remplace un fichier existant (un fichier regroupé, ou\n"
     "des parties qui ne sont pas d'un découpage du même\n"
     "fichier), regroupe un découpage qui finit par une\n"
     "partie pleine"},
    {Option::Verbose, 0, {"verbeux"}, Takes::kNothing, {}, {},
     "affiche chaque fichier créé ou supprimé"},
    {Option::Quiet, 0, {"silencieux"}, Takes::kNothing, {}, {},
     "n'affiche rien d'autre que les échecs"},
    {Option::Help, 'h', {"aide", "help"}, Takes::kNothing, {}, {},
     "affiche cette aide (et /? sous Windows)"},
    {Option::Version, 'V', {"version"}, Takes::kNothing, {}, {},
     "affiche la version et la licence"},
};
// clang-format on

// The commands and the number of operands each takes.
struct CommandEntry {
    std::string_view name;
    std::size_t operands;
};

inline constexpr CommandEntry kCommands[] = {
    {"decouper", 2},
    {"regrouper", 1},
    {"verifier", 1},
};

// The sizes TAILLE may name, and what each is for.
struct PresetEntry {
    std::string_view name;
    std::int64_t bytes;
    std::string_view purpose;
};

inline constexpr PresetEntry kPresets[] = {
    {"cd", 700000000, "un CD-R de 700 Mo"},
    {"dvd", 4697000000, "un DVD simple couche"},
    {"fat32", 4294000000, "le plus grand fichier sur une clé en FAT32"},
    {"courriel", 14000000, "un courriel de 20 Mo au plus, pièce jointe encodée"},
    {"discord", 10000000, "un envoi sur Discord sans abonnement (10 Mio)"},
    {"github", 100000000, "un fichier dans un dépôt GitHub (100 Mio)"},
    {"telegram", 2147000000, "un envoi sur Telegram (2 Gio)"},
};

}  // namespace morcelix::cli
