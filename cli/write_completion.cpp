// Writes the bash completion of morcelix-cli from its template, filling in
// the commands, options and presets from the tool's own tables, so that the
// completion offers exactly what the tool reads.
//
//   write_completion TEMPLATE OUTPUT
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cli/option_table.h"

namespace {

using namespace morcelix::cli;

// "-o --dossier" (or "-o | --dossier" for a case pattern); with
// `valueForms`, each choice of an optional value too: "--somme --somme=crc".
std::string Spellings(const OptionEntry& entry, const char* separator, bool valueForms = false) {
    std::string text;
    const auto add = [&](const std::string& word) {
        if (!text.empty()) {
            text += separator;
        }
        text += word;
    };
    if (entry.shortName != 0) {
        add(std::string{'-', entry.shortName});
    }
    for (const char* name : entry.longNames) {
        if (name != nullptr) {
            add(std::string("--") + name);
            std::istringstream values{std::string(valueForms ? entry.values : "")};
            for (std::string value; values >> value;) {
                add(std::string("--") + name + "=" + value);
            }
        }
    }
    return text;
}

bool AppliesToAll(const OptionEntry& entry) { return entry.commands[0].empty(); }

std::string Fill(const std::string& name) {
    std::string text;
    const auto add = [&](std::string_view word, const char* separator) {
        if (!text.empty()) {
            text += separator;
        }
        text += word;
    };
    if (name == "COMMANDS") {
        for (const CommandEntry& command : kCommands) add(command.name, " ");
    } else if (name == "PRESETS") {
        for (const PresetEntry& preset : kPresets) add(preset.name, " ");
    } else if (name == "COMMON_OPTIONS") {
        for (const OptionEntry& entry : kOptions) {
            if (AppliesToAll(entry)) add(Spellings(entry, " ", true), " ");
        }
    } else if (name == "VALUE_OPTIONS") {
        for (const OptionEntry& entry : kOptions) {
            if (entry.takes == Takes::kValue) add(Spellings(entry, " | "), " | ");
        }
    } else if (name == "COMMAND_OPTIONS") {
        for (const CommandEntry& command : kCommands) {
            std::string options;
            for (const OptionEntry& entry : kOptions) {
                if (!AppliesToAll(entry) && (entry.commands[0] == command.name ||
                                             entry.commands[1] == command.name)) {
                    options += ' ';
                    options += Spellings(entry, " ", true);
                }
            }
            if (!options.empty()) {
                add("            " + std::string(command.name) + ") options+=\"" + options +
                        "\" ;;",
                    "\n");
            }
        }
    } else if (name == "OPTION_VALUES") {
        for (const OptionEntry& entry : kOptions) {
            if (!entry.values.empty()) {
                add("        " + Spellings(entry, " | ") + ") echo " + std::string(entry.values) +
                        " ;;",
                    "\n");
            }
        }
    } else {
        throw std::runtime_error("unknown name @" + name + "@");
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: write_completion TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::stringstream read;
    read << in.rdbuf();
    const std::string text = read.str();
    std::string out;
    try {
        for (std::size_t at = 0;;) {
            const std::size_t open = text.find('@', at);
            const std::size_t close =
                open == std::string::npos ? open : text.find('@', open + 1);
            if (close == std::string::npos) {
                out += text.substr(at);
                break;
            }
            out += text.substr(at, open - at) + Fill(text.substr(open + 1, close - open - 1));
            at = close + 1;
        }
    } catch (const std::exception& error) {
        std::cerr << "write_completion: " << argv[1] << ": " << error.what() << '\n';
        return 1;
    }
    std::ofstream(argv[2], std::ios::binary) << out;
    return in && !out.empty() ? 0 : 1;
}
