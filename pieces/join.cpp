#include "pieces/join.h"

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

std::string PieceOfSet(const std::string& firstPiece, std::uint64_t number) {
    return number == 1 ? firstPiece : SiblingPieceName(firstPiece, number);
}

}  // namespace

PieceSetSurvey SurveyPieceSet(const std::string& firstPiece) {
    if (!firstPiece.ends_with(".001")) {
        throw ENotFirstPiece(firstPiece);
    }
    PieceSetSurvey survey;
    std::uint64_t number = 1;
    for (;; ++number) {
        std::string piece = PieceOfSet(firstPiece, number);
        const std::int64_t size = FileSize(piece);
        if (size < 0) {
            break;
        }
        survey.totalSize += size;
        survey.pieces.push_back({std::move(piece), size});
    }
    const std::string base = JoinDestination(firstPiece);
    const bool laterPieceExists = AnyEntryBeside(
        firstPiece, [&](const std::string& entry) { return PieceNumberOf(entry, base) > number; });
    if (laterPieceExists) {
        survey.gapAt = PieceOfSet(firstPiece, number);
    }
    return survey;
}

void Join(const std::string& firstPiece, const std::string& destination, ProgressSink& progress,
          const JoinOptions& options) {
    const PieceSetSurvey survey = SurveyPieceSet(firstPiece);
    if (!survey.gapAt.empty()) {
        throw EMissingPiece(survey.gapAt);
    }
    TFileStream output(destination, OpenMode::Create);
    progress.FileCreated(destination);
    const BlockObserver afterBlock = [&progress] { progress.BlockCopied(); };
    for (std::uint64_t number = 1;; ++number) {
        const std::string piece = PieceOfSet(firstPiece, number);
        if (!FileExists(piece)) {
            break;
        }
        {
            TFileStream input(piece, OpenMode::Read);
            output.CopyFrom(input, 0, afterBlock);
        }
        progress.SetPosition(Percent(output.Position(), survey.totalSize));
        if (!options.keepPieces && RemoveFile(piece)) {
            progress.FileDeleted(piece);
        }
    }
}

}  // namespace morcelix
