#include "pieces/join_stream.h"

#include <optional>

#include "pieces/checked_copy.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/manifest.h"
#include "pieces/piece_set.h"
#include "pieces/set_check.h"

namespace morcelix {

void JoinToStream(const std::string& firstPiece, TStream& output, ProgressSink& progress,
                  const JoinConsents& consents) {
    const PieceSetSurvey survey = SurveyPieceSet(firstPiece, /*destination=*/{});
    survey.Refuse();
    RequireConsents({.fullLastPiece = survey.fullLastPiece}, consents, survey);
    progress.Begin(survey.totalSize, 0);
    if (const Manifest* sums = survey.WholeSum()) {
        RequireSetMatchesSums(
            survey, *sums, nullptr, {}, 0, survey.pieces,
            [&progress](std::int64_t) { progress.Moved(0, ProgressSink::Mark::Block); });
    }
    const Manifest* manifest = survey.PieceSums();
    // With a manifest: the digests, computed on other threads as the data goes by.
    std::optional<Digest> whole;
    if (manifest) {
        whole.emplace(manifest->kind);
    }
    CheckedCopier copier(manifest ? kDigestLanes : 0);
    std::int64_t written = 0;
    for (std::size_t i = 0; i < survey.pieces.size(); ++i) {
        const SurveyedPiece& piece = survey.pieces[i];
        const std::string path = survey.PathOf(piece);
        TFileStream input(path, OpenMode::Read);
        const BlockObserver afterBlock = [&](std::int64_t left) {
            progress.Moved(written + piece.facts.size - left, ProgressSink::Mark::Block);
        };
        Digest own(manifest ? manifest->kind : DigestKind::Sha256);
        InspectedCopier::Inspectors inspectors;
        if (manifest) {
            inspectors = Digests({&own, &*whole});
        }
        if (input.Facts() != piece.facts) {
            throw EChangedDuringJoin(path);
        }
        switch (copier.Copy(output, input, piece.facts, piece.facts.size, inspectors, afterBlock)) {
            case CopyOutcome::Copied:
                break;
            case CopyOutcome::SourceChanged:
                throw EChangedDuringJoin(path);
            case CopyOutcome::TargetFull:
                throw EWriteError();
        }
        if (manifest) {
            copier.Wait();
            if (own.HexDigest() != manifest->pieces[i]) {
                throw EDamaged(path);
            }
        }
        written += piece.facts.size;
        progress.Moved(written, ProgressSink::Mark::Piece);
    }
    if (whole && !manifest->whole.empty() && whole->HexDigest() != manifest->whole) {
        throw EBadManifest(manifest->path);
    }
}

}  // namespace morcelix
