#include "pieces/split.h"

#include <algorithm>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"

namespace morcelix {

void Split(const std::string& source, std::int64_t pieceSize, ProgressSink& progress) {
    if (pieceSize < 0) {
        throw EPieceSizeError(std::to_string(pieceSize));
    }
    progress.SetPosition(0);
    TFileStream input(source, OpenMode::Read);
    const std::int64_t length = input.Size();
    if (pieceSize == 0) {
        // The quotient length / 0: infinite for a source that holds bytes, undefined for 0 / 0.
        if (length == 0) {
            throw EInvalidOp();
        }
        throw EZeroDivide();
    }
    const std::int64_t count = length / pieceSize + 1;
    const BlockObserver afterBlock = [&progress] { progress.BlockCopied(); };
    for (std::int64_t number = 1; number <= count; ++number) {
        TFileStream piece(PieceName(source, static_cast<std::uint64_t>(number)), OpenMode::Create);
        const std::int64_t size = std::min(pieceSize, input.Size() - input.Position());
        if (size > 0) {
            piece.CopyFrom(input, size, afterBlock);
        }
        progress.SetPosition(Percent(input.Position(), input.Size()));
    }
}

}  // namespace morcelix
