#include "pieces/join_plan.h"

#include <algorithm>
#include <vector>

#include "pieces/failure.h"

namespace morcelix {

std::unique_ptr<TFileStream> OpenUnchanged(const PieceSetSurvey& survey,
                                           const SurveyedPiece& piece) {
    const std::string path = survey.PathOf(piece);
    std::unique_ptr<TFileStream> input = TFileStream::OpenIfAvailable(path, OpenMode::Read);
    if (!input) {
        // Gone or replaced is a change; still there as it was, it is locked.
        if (RegularFileFacts(path) != piece.facts) {
            throw EChangedDuringJoin(path);
        }
        throw EFOpenError(path);
    }
    if (input->OpenedFacts() != piece.facts) {
        throw EChangedDuringJoin(path);
    }
    return input;
}

namespace {

constexpr std::int32_t kCompareBlock = 64 << 10;

// Whether the next `count` bytes of `a` and `b`, from their positions, are
// the same; false also when either holds fewer.
bool SameBytes(TStream& a, TStream& b, std::int64_t count) {
    std::vector<char> left(kCompareBlock), right(kCompareBlock);
    while (count > 0) {
        const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(count, kCompareBlock));
        if (a.Read(left.data(), block) != block || b.Read(right.data(), block) != block ||
            !std::equal(left.begin(), left.begin() + block, right.begin())) {
            return false;
        }
        count -= block;
    }
    return true;
}

// Whether the next `count` bytes of `output` are the pieces' own bytes, from
// the first surveyed piece on.
bool HoldsThePieces(TStream& output, std::int64_t count, const PieceSetSurvey& survey) {
    for (const SurveyedPiece& piece : survey.pieces) {
        if (count == 0) {
            break;
        }
        const std::int64_t part = std::min(count, piece.facts.size);
        if (!SameBytes(output, *OpenUnchanged(survey, piece), part)) {
            return false;
        }
        count -= part;
    }
    return count == 0;
}

// Polynomial hashes modulo two primes below 2^31, so that every product fits
// in 64 bits on any target.
class RollingHash {
  public:
    static constexpr std::uint64_t kModuli[2] = {2147483647, 2147483629};
    static constexpr std::uint64_t kBase = 257;

    // The hash of `byte` followed by the text hashed so far.
    void Prepend(unsigned char byte) {
        for (int i = 0; i < 2; ++i) {
            value_[i] = (byte + 1 + kBase * value_[i]) % kModuli[i];
        }
    }
    // The hash of the text hashed so far followed by `byte`.
    void Append(unsigned char byte) {
        for (int i = 0; i < 2; ++i) {
            value_[i] = (value_[i] + (byte + 1) * power_[i]) % kModuli[i];
            power_[i] = power_[i] * kBase % kModuli[i];
        }
    }
    bool operator==(const RollingHash& other) const {
        return value_[0] == other.value_[0] && value_[1] == other.value_[1];
    }

  private:
    std::uint64_t value_[2] = {0, 0};
    std::uint64_t power_[2] = {1, 1};
};

// The largest x, at most `size`, such that the last x bytes of `output` (of
// `length` bytes) are the first x bytes of `piece` (of `size` bytes) and the
// bytes before them can be `gone` pieces of one size of at least `smallest`.
// One pass over both, output backwards from its end and piece forwards, with
// a hash of each; the best candidate is then compared byte for byte.
std::optional<std::int64_t> LongestOverlap(TStream& output, std::int64_t length, TStream& piece,
                                           std::int64_t size, std::int64_t gone,
                                           std::int64_t smallest) {
    const auto fits = [&](std::int64_t x) {
        const std::int64_t before = length - x;
        return before % gone == 0 && before / gone >= smallest;
    };
    std::optional<std::int64_t> best;
    if (fits(0)) {
        best = 0;
    }
    const std::int64_t limit = std::min(length, size);
    std::vector<char> tail(kCompareBlock), head(kCompareBlock);
    RollingHash suffix, prefix;
    piece.SetPosition(0);
    for (std::int64_t done = 0; done < limit;) {
        const auto block =
            static_cast<std::int32_t>(std::min<std::int64_t>(limit - done, kCompareBlock));
        output.SetPosition(length - done - block);
        output.ReadBuffer(tail.data(), block);
        piece.ReadBuffer(head.data(), block);
        for (std::int32_t i = 0; i < block; ++i) {
            suffix.Prepend(static_cast<unsigned char>(tail[block - 1 - i]));
            prefix.Append(static_cast<unsigned char>(head[i]));
            const std::int64_t x = done + i + 1;
            if (suffix == prefix && fits(x)) {
                best = x;
            }
        }
        done += block;
    }
    if (best && *best > 0) {
        output.SetPosition(length - *best);
        piece.SetPosition(0);
        if (!SameBytes(output, piece, *best)) {
            return std::nullopt;
        }
    }
    return best;
}

// Whether the bytes of an existing destination are the beginning of the
// set's: a join of this set, stopped or finished, which a fresh join may
// replace. Reads the destination once.
bool IsThisSetsJoin(TFileStream& output, const PieceSetSurvey& survey) {
    const std::int64_t length = output.Size();
    if (length > survey.totalSize) {
        return false;
    }
    output.SetPosition(0);
    return HoldsThePieces(output, length, survey);
}

// Where a resumed join starts: after the bytes of the pieces already gone,
// once the held pieces' bytes are found at their place. Whatever the
// destination holds beyond must be the pieces' own bytes (a join stopped
// before it could delete them), so that cutting it back loses nothing;
// otherwise the destination is not this set's join.
void PlanResume(JoinPlan& plan, TFileStream& output, const PieceSetSurvey& survey,
                const std::string& picked) {
    for (const SurveyedPiece& held : survey.held) {
        output.SetPosition(static_cast<std::int64_t>(held.number - 1) * survey.pieceSize);
        if (!SameBytes(output, *OpenUnchanged(survey, held), held.facts.size)) {
            throw ENotFirstPiece(picked);
        }
        plan.held.push_back(held);
    }
    const std::int64_t length = output.Size();
    if (survey.pieces.empty()) {
        plan.start = length;
        return;
    }
    if (survey.joined) {
        output.SetPosition(*survey.joined);
        if (!HoldsThePieces(output, length - *survey.joined, survey)) {
            throw ENotFirstPiece(picked);
        }
        plan.start = *survey.joined;
        return;
    }
    // Only one piece is left, so the piece size is unknown. Its bytes whole at
    // their own place, after pieces as large as it, make it held, as a join
    // that could not delete it leaves it. Otherwise it is the set's last piece
    // and the destination's tail is that piece's head.
    const SurveyedPiece& only = survey.pieces.front();
    const std::int64_t size = only.facts.size;
    const auto gone = static_cast<std::int64_t>(survey.firstNumber - 1);
    if (size > 0 && length / size > gone) {
        output.SetPosition(gone * size);
        if (SameBytes(output, *OpenUnchanged(survey, only), size)) {
            plan.held.push_back(only);
            plan.append = {};
            plan.start = length;
            plan.pieceSize = size;
            return;
        }
    }
    const std::optional<std::int64_t> overlap = LongestOverlap(
        output, length, *OpenUnchanged(survey, only), size, gone, std::max<std::int64_t>(size, 1));
    if (!overlap) {
        throw ENotFirstPiece(picked);
    }
    plan.start = length - *overlap;
    plan.pieceSize = plan.start / gone;
}

// With a manifest, the pieces whose bytes a resumed join keeps are checked in
// the destination, each against its digest: `count` pieces of the plan's
// size, the last one shorter when the destination ends sooner. Returns the
// digest of those bytes, for the whole file's. Reads only.
Digest CheckedPrefix(TFileStream& output, const Manifest& manifest, const JoinPlan& plan,
                     std::uint64_t count, const std::string& destination) {
    const auto pieces = static_cast<std::int64_t>(count);
    if (plan.start < (pieces - 1) * plan.pieceSize || plan.start > pieces * plan.pieceSize) {
        throw EDamaged(destination);
    }
    Digest whole(manifest.kind);
    output.SetPosition(0);
    for (std::uint64_t number = 1; number <= count; ++number) {
        const std::int64_t offset = static_cast<std::int64_t>(number - 1) * plan.pieceSize;
        Digest own(manifest.kind);
        HashNext(output, std::min(plan.pieceSize, plan.start - offset), {&own, &whole});
        if (own.HexDigest() != manifest.pieces[number - 1]) {
            throw EDamaged(destination);
        }
    }
    return whole;
}

}  // namespace

void RequireRoomForJoin(const PieceSetSurvey& survey, const std::string& destination,
                        const JoinOptions& options) {
    const std::optional<DiskFacts> disk = DiskFactsOf(destination);
    if (!disk) {
        return;  // a folder that is not there: creating the destination says so
    }
    std::int64_t needed = std::max<std::int64_t>(
        survey.totalSize - std::max<std::int64_t>(FileSize(destination), 0), 0);
    std::int64_t largestPiece = 0;
    bool beside = !options.keepPieces;
    for (const SurveyedPiece& piece : survey.pieces) {
        largestPiece = std::max(largestPiece, piece.facts.size);
        beside = beside && piece.facts.identity.volume == disk->volume;
    }
    if (beside) {
        needed = std::min(needed, largestPiece);
    }
    RequireRoom(*disk, destination, needed, survey.totalSize);
}

JoinPlan PlanJoin(TFileStream& output, const PieceSetSurvey& survey, const std::string& picked,
                  const std::string& destination, bool replaceDestination) {
    const FileIdentity held = output.Facts().identity;
    for (const SurveyedPiece& piece : survey.pieces) {
        if (piece.facts.identity == held) {
            throw EDestinationIsPiece(destination);
        }
    }
    JoinPlan plan{
        .append = survey.pieces, .firstNumber = survey.firstNumber, .pieceSize = survey.pieceSize};
    if (survey.Resumes()) {
        PlanResume(plan, output, survey, picked);
    } else if (!output.Created() && !replaceDestination && !IsThisSetsJoin(output, survey)) {
        throw EDestinationExists(destination);
    }
    plan.total = plan.start + (plan.append.empty() ? 0 : survey.PiecesSize());
    if (const Manifest* sums = survey.PieceSums()) {
        // Every piece is in the destination once none is left to append.
        const std::uint64_t kept =
            plan.append.empty() ? sums->pieces.size() : survey.firstNumber - 1;
        plan.digestSoFar.emplace(CheckedPrefix(output, *sums, plan, kept, destination));
    }
    return plan;
}

}  // namespace morcelix
