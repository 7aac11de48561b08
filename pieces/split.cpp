#include "pieces/split.h"

#include <algorithm>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"

namespace morcelix {

void Split(const std::string& source, std::int64_t pieceSize, ProgressSink& progress,
           const SplitOptions& options) {
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
    const std::string& piecesAt = options.piecesAt.empty() ? source : options.piecesAt;
    const BlockObserver afterBlock = [&progress] { progress.BlockCopied(); };
    for (std::int64_t number = 1; number <= count; ++number) {
        const std::string name = PieceName(piecesAt, static_cast<std::uint64_t>(number));
        TFileStream piece(name, OpenMode::Create);
        progress.FileCreated(name);
        const std::int64_t size = std::min(pieceSize, input.Size() - input.Position());
        if (size > 0) {
            piece.CopyFrom(input, size, afterBlock);
        }
        progress.SetPosition(Percent(input.Position(), input.Size()));
    }
}

}  // namespace morcelix
