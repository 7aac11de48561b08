// What the window's actions keep between clicks, for the whole run.
#pragma once

#include <cstdint>
#include <string>

namespace morcelix {

struct WorkingState {
    std::string fileToSplit;     // chosen by "Ouvrir" in "Découpage"
    std::string firstPiece;      // chosen by "Ouvrir" in "Regroupage"
    std::string destination;     // worked out from the first piece
    std::int64_t pieceSize = 0;  // bytes; read from the size field at each split
};

}  // namespace morcelix
