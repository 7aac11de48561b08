// Reading the piece size that a person types, in whole Mo (1 Mo = 1,000,000
// bytes). The window's size field and the command-line tool read it alike.
#pragma once

#include <cstdint>
#include <string>

namespace morcelix {

// Reads a whole number: leading spaces, then an optional "+" or "-" and decimal
// digits (-2147483648 to 2147483647), or, without sign, a hexadecimal number
// after "$", "x", "X", "0x" or "0X" of up to eight significant digits, those
// from 80000000 up reading as negative. Nothing may follow the digits. Any
// other text raises EConvertError with the text as given.
std::int32_t ReadWholeNumber(const std::string& text);

// The piece size in bytes that an entry in Mo stands for, computed in 64 bits.
// Raises EConvertError as ReadWholeNumber, and EPieceSizeError (with the text as
// given) for a negative entry. Zero is returned as it is.
std::int64_t PieceSizeFromEntry(const std::string& text);

}  // namespace morcelix
