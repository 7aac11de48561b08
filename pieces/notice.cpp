#include "pieces/notice.h"

#include <algorithm>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/par2_create.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kEnd = "\r\n";

// Whether `text` is well-formed UTF-8: no stray continuation byte, no
// sequence cut short, overlong, beyond U+10FFFF or a UTF-16 surrogate.
bool IsUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC2 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF5 ? 4
                                                 : 0;
        if (length == 0 || at + length > text.size()) {
            return false;
        }
        std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        at += length;
    }
    return true;
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// `name` in single quotes for PowerShell, a ' written ''.
std::string PowerShellQuoted(const std::string& name) {
    std::string quoted = "'";
    for (const char c : name) {
        quoted += c;
        if (c == '\'') {
            quoted += '\'';
        }
    }
    return quoted + "'";
}

// The text of one language: the labels differ, the commands do not.
struct Words {
    std::string_view intro;        // before the file's name
    std::string_view introPieces;  // after it, before the count
    std::string_view introEnd;
    std::string_view piecesTitle;
    std::string_view bytes;
    std::string_view total;
    std::string_view windows;
    std::string_view windowsNote;
    std::string_view unix;
    std::string_view sumTitle;
    std::string_view checkTitle;
    // The recovery data's paragraph: intro, index, and, vol files, upTo, N,
    // open, index, openEnd.
    std::string_view recoveryIntro;
    std::string_view recoveryAnd;
    std::string_view recoveryUpTo;
    std::string_view recoveryOpen;
    std::string_view recoveryEnd;
};

constexpr Words kFrench = {
    .intro = "Le fichier \xC2\xAB\xC2\xA0",
    .introPieces =
        "\xC2\xA0\xC2\xBB a \xC3\xA9t\xC3\xA9 d\xC3\xA9"
        "coup\xC3\xA9 en ",
    .introEnd =
        " parties. Pour le reconstituer, mettez-les toutes dans un m\xC3\xAAme dossier,"
        " ouvrez-y une invite de commandes ou un terminal et tapez les commandes"
        " ci-dessous.",
    .piecesTitle = "Parties :",
    .bytes = " octets",
    .total = "Total : ",
    .windows = "Windows (invite de commandes, cmd.exe) :",
    .windowsNote = "(dans l'ordre, une commande apr\xC3\xA8s l'autre)",
    .unix = "macOS et Linux (terminal) :",
    .sumTitle = "Somme SHA-256 du fichier entier :",
    .checkTitle = "Pour la v\xC3\xA9rifier une fois le fichier reconstitu\xC3\xA9 :",
    .recoveryIntro =
        "Donn\xC3\xA9"
        "es de secours : si des parties manquent ou sont"
        " endommag\xC3\xA9"
        "es, ",
    .recoveryAnd = " et les fichiers ",
    .recoveryUpTo = ", mis dans le m\xC3\xAAme dossier, en reconstruisent jusqu'\xC3\xA0 ",
    .recoveryOpen = " avec un outil PAR2 : sous Windows, ouvrez ",
    .recoveryEnd =
        " avec lui ; sous macOS et Linux, tapez la commande ci-dessous. Puis"
        " regroupez-les comme plus bas.",
};

constexpr Words kEnglish = {
    .intro = "The file \"",
    .introPieces = "\" was split into ",
    .introEnd =
        " pieces. To rebuild it, put them all in one folder, open a command prompt"
        " or a terminal there and type the commands below.",
    .piecesTitle = "Pieces:",
    .bytes = " bytes",
    .total = "Total: ",
    .windows = "Windows (command prompt, cmd.exe):",
    .windowsNote = "(in order, one command after the other)",
    .unix = "macOS and Linux (terminal):",
    .sumTitle = "SHA-256 of the whole file:",
    .checkTitle = "To check it once the file is rebuilt:",
    .recoveryIntro = "Recovery data: if pieces are missing or damaged, ",
    .recoveryAnd = " and the files ",
    .recoveryUpTo = ", put in the same folder, rebuild up to ",
    .recoveryOpen = " of them with a PAR2 tool: on Windows, open ",
    .recoveryEnd =
        " with it; on macOS and Linux, type the command below. Then rebuild the"
        " file as shown further down.",
};

void Line(std::string& text, std::string_view line = {}) {
    text += line;
    text += kEnd;
}

void Section(std::string& text, const Words& words, const std::string& whole,
             const std::vector<std::string>& pieces, const std::vector<std::int64_t>& sizes,
             const std::string& sha256, std::uint32_t recoverySlices) {
    std::int64_t total = 0;
    for (const std::int64_t size : sizes) {
        total += size;
    }
    Line(text, std::string(words.intro) + whole + std::string(words.introPieces) +
                   std::to_string(pieces.size()) + std::string(words.introEnd));
    Line(text);
    Line(text, words.piecesTitle);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        Line(text,
             "    " + pieces[i] + "    " + std::to_string(sizes[i]) + std::string(words.bytes));
    }
    Line(text, std::string(words.total) + std::to_string(total) + std::string(words.bytes));
    Line(text);
    if (recoverySlices > 0) {
        const std::string index = par2::RecoveryIndexPath(whole);
        Line(text, std::string(words.recoveryIntro) + index + std::string(words.recoveryAnd) +
                       whole + ".vol*.par2" + std::string(words.recoveryUpTo) +
                       std::to_string(recoverySlices) + std::string(words.recoveryOpen) + index +
                       std::string(words.recoveryEnd));
        Line(text, "    par2 repair " + ShellQuoted(index));
        Line(text);
    }
    Line(text, words.windows);
    const std::vector<std::string> commands = CmdJoinCommands(pieces, whole);
    if (commands.size() > 1) {
        Line(text, words.windowsNote);
    }
    if (!IsAscii(whole) ||
        !std::all_of(pieces.begin(), pieces.end(), [](const auto& p) { return IsAscii(p); })) {
        Line(text, "    chcp 65001");
    }
    for (const std::string& command : commands) {
        Line(text, "    " + command);
    }
    Line(text);
    Line(text, words.unix);
    std::string cat = "    cat";
    for (const std::string& piece : pieces) {
        cat += " " + ShellQuoted(piece);
    }
    Line(text, cat + " > " + ShellQuoted(whole));
    Line(text);
    Line(text, words.sumTitle);
    Line(text, "    " + sha256);
    Line(text, words.checkTitle);
    Line(text, "    Windows (cmd.exe):     certutil -hashfile " + CmdQuoted(whole) + " SHA256");
    Line(text, "    Windows (PowerShell):  Get-FileHash -Algorithm SHA256 -LiteralPath " +
                   PowerShellQuoted(whole));
    Line(text, "    macOS:                 shasum -a 256 " + ShellQuoted(whole));
    Line(text, "    Linux:                 sha256sum " + ShellQuoted(whole));
}

}  // namespace

std::string NoticePath(std::string_view base) {
    return std::string(base) + ".regrouper.txt";
}

std::string ShellQuoted(const std::string& name) {
    std::string quoted = name.starts_with('-') ? "./'" : "'";
    for (const char c : name) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string CmdQuoted(const std::string& name) {
    return "\"" + name + "\"";
}

std::vector<std::string> CmdJoinCommands(const std::vector<std::string>& pieces,
                                         const std::string& whole, std::size_t longest) {
    const std::string target = " " + CmdQuoted(whole);
    std::vector<std::string> commands;
    std::string command;
    for (const std::string& piece : pieces) {
        const std::string word = CmdQuoted(piece);
        // A command holds at least one piece besides the file it appends to.
        const bool holdsPiece = !command.empty() && command.back() != ' ';
        if (holdsPiece && command.size() + 3 + word.size() + target.size() > longest) {
            commands.push_back(command + target);
            command.clear();
        }
        if (command.empty()) {
            // The later commands append to the file the earlier ones began.
            command =
                commands.empty() ? "copy /b " + word : "copy /b " + CmdQuoted(whole) + " + " + word;
        } else {
            command += " + " + word;
        }
    }
    if (!command.empty()) {
        commands.push_back(command + target);
    }
    return commands;
}

std::string NoticeText(const std::string& whole, const std::vector<std::string>& pieces,
                       const std::vector<std::int64_t>& sizes, const std::string& sha256,
                       std::uint32_t recoverySlices) {
    std::string text(kByteOrderMark);
    Section(text, kFrench, whole, pieces, sizes, sha256, recoverySlices);
    Line(text);
    Line(text, "------------------------------------------------------------------------");
    Line(text);
    Section(text, kEnglish, whole, pieces, sizes, sha256, recoverySlices);
    return text;
}

void RequireNameInNotice(const std::string& base) {
    const std::string whole = FileNameOf(base);
    const bool quotable = std::none_of(whole.begin(), whole.end(), [](char c) {
        return c == '"' || static_cast<unsigned char>(c) < 0x20 || c == '\x7F';
    });
    if (!quotable || !IsUtf8(whole)) {
        throw ENameNotInNotice(whole);
    }
}

void WriteNotice(const std::string& base, const std::vector<std::int64_t>& pieceSizes,
                 const std::string& sha256, std::uint32_t recoverySlices) {
    RequireNameInNotice(base);
    const std::string whole = FileNameOf(base);
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < pieceSizes.size(); ++i) {
        pieces.push_back(FileNameOf(PieceName(base, i + 1)));
    }
    ReplaceFileWith(NoticePath(base),
                    NoticeText(whole, pieces, pieceSizes, sha256, recoverySlices));
}

}  // namespace morcelix
