#include "pieces/piece_names.h"

#include <charconv>

#include "pieces/file_stream.h"

namespace morcelix {

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
    return std::string(firstPiece.substr(0, firstPiece.size() < 4 ? 0 : firstPiece.size() - 4));
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

std::uint64_t PieceNumberOf(std::string_view name, std::string_view base) {
    const std::uint64_t number = OwnPieceNumber(name);
    if (number == 0 || !SameEntryName(name.substr(0, name.size() - Extension(name).size()), base)) {
        return 0;
    }
    return number;
}

}  // namespace morcelix
