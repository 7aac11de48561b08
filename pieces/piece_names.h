// How the pieces of a set are named. A set has no index file: the names alone
// tie the pieces to their source and give their order. Piece i of source S is
// S + "." + NumberText(i): film.avi.001, film.avi.002, ... film.avi.1000.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morcelix {

// The piece number in decimal, at least three digits, zero-padded: 1 -> "001",
// 1000 -> "1000". No sign or separator, whatever the locale.
std::string NumberText(std::uint64_t number);

// The text from the path's last "." to its end, dot included, when no folder
// separator ("\", "/" or ":") follows that dot; otherwise "".
std::string_view Extension(std::string_view path);

// The path without its extension, followed by `extension`.
std::string ChangeExtension(std::string_view path, std::string_view extension);

// The name a split gives to piece `number` of `source`.
std::string PieceName(std::string_view source, std::uint64_t number);

// The name of piece `number` of the set that `piece` belongs to: its extension
// replaced by the number text.
std::string SiblingPieceName(std::string_view piece, std::uint64_t number);

// The file a join rebuilds from `firstPiece`: its path less the last four
// characters, counted as UTF-8 characters, not bytes ("" for a shorter path).
std::string JoinDestination(std::string_view firstPiece);

// The file a join rebuilds from `picked`, any piece of the set: its name less
// its number extension, so that a later piece ("film.avi.1000", left by an
// interrupted join) leads to the same file as the first; JoinDestination for a
// name without a number extension.
std::string DestinationOfPiece(std::string_view picked);

// The file name of `path`: what follows its folder part (FolderPart).
std::string FileNameOf(const std::string& path);

// The number that the extension of `piece` writes when it is "." + a number
// text (".001", ".1000"); 0 otherwise.
std::uint64_t OwnPieceNumber(std::string_view piece);

// The number of the piece `name` when it is `base` + "." + a number text, the
// names compared as the file system compares them (SameEntryName); 0 otherwise.
std::uint64_t PieceNumberOf(std::string_view name, std::string_view base);

}  // namespace morcelix
