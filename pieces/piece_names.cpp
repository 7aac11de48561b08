#include "pieces/piece_names.h"

#include <charconv>

#include "pieces/file_stream.h"

namespace morcelix {

namespace {

// Where the last character of `text` (not empty) starts. Text is UTF-8: a
// lead byte and the continuation bytes (10xxxxxx) that its value announces
// make one character. A byte that is not part of such a sequence (a name in
// another encoding) counts as a character of its own.
std::size_t LastCharacterStart(std::string_view text) {
    auto isContinuation = [&](std::size_t at) {
        return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 && isContinuation(start)) {
        --start;
    }
    const auto lead = static_cast<unsigned char>(text[start]);
    const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    return length == text.size() - start ? start : text.size() - 1;
}

}  // namespace

std::string NumberText(std::uint64_t number) {
    std::string text = std::to_string(number);
    if (text.size() < 3) {
        text.insert(0, 3 - text.size(), '0');
    }
    return text;
}

std::string_view Extension(std::string_view path) {
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos ||
        path.find_first_of("\\/:", dot) != std::string_view::npos) {
        return {};
    }
    return path.substr(dot);
}

std::string ChangeExtension(std::string_view path, std::string_view extension) {
    std::string changed(path.substr(0, path.size() - Extension(path).size()));
    changed += extension;
    return changed;
}

std::string PieceName(std::string_view source, std::uint64_t number) {
    return ChangeExtension(source, std::string(Extension(source)) + "." + NumberText(number));
}

std::string SiblingPieceName(std::string_view piece, std::uint64_t number) {
    std::string extension = ".";
    extension += NumberText(number);
    return ChangeExtension(piece, extension);
}

std::string JoinDestination(std::string_view firstPiece) {
    for (int dropped = 0; dropped < 4 && !firstPiece.empty(); ++dropped) {
        firstPiece = firstPiece.substr(0, LastCharacterStart(firstPiece));
    }
    return std::string(firstPiece);
}

std::string FileNameOf(const std::string& path) {
    return path.substr(FolderPart(path).size());
}

std::uint64_t OwnPieceNumber(std::string_view piece) {
    const std::string_view extension = Extension(piece);
    if (extension.size() < 2) {
        return 0;
    }
    const std::string_view digits = extension.substr(1);
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size() ||
        NumberText(number) != digits) {
        return 0;
    }
    return number;
}

std::string DestinationOfPiece(std::string_view picked) {
    return OwnPieceNumber(picked) != 0 ? ChangeExtension(picked, "") : JoinDestination(picked);
}

std::uint64_t PieceNumberOf(std::string_view name, std::string_view base) {
    const std::uint64_t number = OwnPieceNumber(name);
    if (number == 0 || !SameEntryName(name.substr(0, name.size() - Extension(name).size()), base)) {
        return 0;
    }
    return number;
}

}  // namespace morcelix
