#include "pieces/join_stream.h"

#include <optional>

#include "pieces/failure.h"
#include "pieces/inspected_copy.h"
#include "pieces/manifest.h"
#include "pieces/piece_set.h"
#include "pieces/sha256.h"

namespace morcelix {

void JoinToStream(const std::string& firstPiece, TStream& output, ProgressSink& progress,
                  bool acceptFullLastPiece) {
    const PieceSetSurvey survey = SurveyPieceSet(firstPiece, /*destination=*/{});
    survey.Refuse(acceptFullLastPiece);
    const std::optional<Manifest>& manifest = survey.manifest;
    // With a manifest: the digests, computed on other threads as the data goes by.
    std::optional<Sha256> whole;
    std::optional<InspectedCopier> hashing;
    if (manifest) {
        whole.emplace();
        hashing.emplace(kDigestLanes);
    }
    const BlockObserver afterBlock = [&progress] { progress.BlockCopied(); };
    std::int64_t written = 0;
    for (std::size_t i = 0; i < survey.pieces.size(); ++i) {
        const SurveyedPiece& piece = survey.pieces[i];
        TFileStream input(piece.path, OpenMode::Read);
        const auto requireUnchanged = [&] {
            if (input.Facts() != piece.facts) {
                throw EChangedDuringJoin(piece.path);
            }
        };
        requireUnchanged();
        try {
            if (!hashing) {
                if (piece.facts.size > 0) {
                    output.CopyFrom(input, piece.facts.size, afterBlock);
                }
            } else {
                Sha256 own;
                hashing->Copy(output, input, piece.facts.size, Digests(own, *whole), afterBlock);
                hashing->Wait();
                if (own.HexDigest() != manifest->pieces[i]) {
                    throw EDamaged(piece.path);
                }
            }
        } catch (const EReadError&) {
            requireUnchanged();  // a short read: the piece shrank under the copy
            throw;
        }
        requireUnchanged();
        written += piece.facts.size;
        progress.SetPosition(Percent(written, survey.totalSize));
    }
    if (whole && whole->HexDigest() != manifest->whole) {
        throw EBadManifest(ManifestPath(survey.base));
    }
}

}  // namespace morcelix
