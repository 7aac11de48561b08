#include "pieces/set_check.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "pieces/failure.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

// Hashes the next `count` bytes of `stream` into `own` (a piece's digest,
// when the file names pieces) and `whole` (when it names the whole file).
void HashInto(TStream& stream, std::int64_t count, Digest* own, Digest* whole,
              const BlockObserver& afterBlock) {
    if (own != nullptr && whole != nullptr) {
        HashNext(stream, count, {own, whole}, afterBlock);
    } else if (own != nullptr || whole != nullptr) {
        HashNext(stream, count, {own != nullptr ? own : whole}, afterBlock);
    }
}

}  // namespace

SetSumsCheck CheckSetAgainstSums(const PieceSetSurvey& survey, const Manifest& sums,
                                 TStream* destination, std::int64_t kept,
                                 std::span<const SurveyedPiece> pieces, bool stopAtFirstDamaged,
                                 const BlockObserver& afterBlock) {
    SetSumsCheck check;
    std::int64_t size = kept;
    for (const SurveyedPiece& piece : pieces) {
        size += piece.facts.size;
    }
    if (sums.size && *sums.size != size) {
        check.wholeMatches = false;
        return check;
    }
    std::optional<Digest> whole;
    if (!sums.whole.empty()) {
        whole.emplace(sums.kind);
    }
    const bool pieceLines = sums.VouchesForPieces();
    // Checks the digest of piece `number`, whose bytes `hash` reads; false
    // once the check may stop.
    const auto checkPiece = [&](std::uint64_t number, const auto& hash) {
        std::optional<Digest> own;
        if (pieceLines) {
            own.emplace(sums.kind);
        }
        hash(own ? &*own : nullptr);
        if (own && (number > sums.pieces.size() || own->HexDigest() != sums.pieces[number - 1])) {
            check.damaged.push_back(number);
            return !stopAtFirstDamaged;
        }
        return true;
    };
    if (kept > 0) {
        destination->SetPosition(0);
        const std::int64_t pieceSize =
            pieceLines ? std::max<std::int64_t>(survey.pieceSize, 1) : kept;
        for (std::uint64_t number = 1; destination->Position() < kept; ++number) {
            const std::int64_t count = std::min(pieceSize, kept - destination->Position());
            if (!checkPiece(number, [&](Digest* own) {
                    HashInto(*destination, count, own, whole ? &*whole : nullptr, afterBlock);
                })) {
                return check;
            }
        }
    }
    for (const SurveyedPiece& piece : pieces) {
        const std::unique_ptr<TFileStream> input = OpenUnchanged(survey, piece);
        if (!checkPiece(piece.number, [&](Digest* own) {
                HashInto(*input, piece.facts.size, own, whole ? &*whole : nullptr, afterBlock);
            })) {
            return check;
        }
    }
    check.wholeMatches = !whole || whole->HexDigest() == sums.whole;
    return check;
}

void RequireSetMatchesSums(const PieceSetSurvey& survey, const Manifest& sums, TStream* destination,
                           const std::string& destinationName, std::int64_t kept,
                           std::span<const SurveyedPiece> pieces, const BlockObserver& afterBlock) {
    const SetSumsCheck check =
        CheckSetAgainstSums(survey, sums, destination, kept, pieces, true, afterBlock);
    const std::string& file = destinationName.empty() ? survey.base : destinationName;
    if (!check.damaged.empty()) {
        const std::uint64_t number = check.damaged.front();
        throw EDamaged(number < survey.firstNumber ? file : PieceName(survey.base, number));
    }
    if (!check.wholeMatches) {
        if (sums.VouchesForPieces()) {
            throw EBadManifest(sums.path);
        }
        throw EDamaged(file);
    }
}

}  // namespace morcelix
