#include "pieces/join.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/inspected_copy.h"
#include "pieces/piece_names.h"
#include "pieces/sha256.h"

namespace morcelix {

namespace {

constexpr std::int32_t kCompareBlock = 64 << 10;

// Opens a surveyed piece for reading, checked unchanged since the survey.
std::unique_ptr<TFileStream> OpenUnchanged(const SurveyedPiece& piece) {
    std::unique_ptr<TFileStream> input;
    try {
        input = std::make_unique<TFileStream>(piece.path, OpenMode::Read);
    } catch (const EFOpenError&) {
        // Gone or replaced is a change; still there as it was, it is locked.
        if (RegularFileFacts(piece.path) != piece.facts) {
            throw EChangedDuringJoin(piece.path);
        }
        throw;
    }
    if (input->Facts() != piece.facts) {
        throw EChangedDuringJoin(piece.path);
    }
    return input;
}

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
        if (!SameBytes(output, *OpenUnchanged(piece), part)) {
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

// Where a join starts, and what the destination holds already.
struct Plan {
    std::int64_t start = 0;           // the bytes of the set that the destination keeps
    std::vector<SurveyedPiece> held;  // its bytes there: deleted once the destination is flushed
    std::span<const SurveyedPiece> append;  // appended from `start` on
    std::int64_t pieceSize = 0;             // of the pieces before `start`, but the last
};

// A fresh join starts from nothing. A resumed one goes on after the bytes of
// the pieces already gone, once the held pieces' bytes are found at their
// place. Whatever the destination holds beyond must be the pieces' own bytes
// (a join stopped before it could delete them), so that cutting it back loses
// nothing; otherwise the destination is not this set's join. Reads only.
Plan PlanJoin(TFileStream& output, const PieceSetSurvey& survey, const std::string& picked) {
    Plan plan{.append = survey.pieces, .pieceSize = survey.pieceSize};
    if (!survey.Resumes()) {
        return plan;
    }
    for (const HeldPiece& held : survey.held) {
        output.SetPosition(static_cast<std::int64_t>(held.number - 1) * survey.pieceSize);
        if (!SameBytes(output, *OpenUnchanged(held.piece), held.piece.facts.size)) {
            throw ENotFirstPiece(picked);
        }
        plan.held.push_back(held.piece);
    }
    const std::int64_t length = output.Size();
    if (survey.pieces.empty()) {
        plan.start = length;
        return plan;
    }
    if (survey.joined) {
        output.SetPosition(*survey.joined);
        if (!HoldsThePieces(output, length - *survey.joined, survey)) {
            throw ENotFirstPiece(picked);
        }
        plan.start = *survey.joined;
        return plan;
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
        if (SameBytes(output, *OpenUnchanged(only), size)) {
            plan.held.push_back(only);
            plan.append = {};
            plan.start = length;
            plan.pieceSize = size;
            return plan;
        }
    }
    const std::optional<std::int64_t> overlap = LongestOverlap(
        output, length, *OpenUnchanged(only), size, gone, std::max<std::int64_t>(size, 1));
    if (!overlap) {
        throw ENotFirstPiece(picked);
    }
    plan.start = length - *overlap;
    plan.pieceSize = plan.start / gone;
    return plan;
}

// Until the join begins, a refusal leaves the destination as it was: removed
// again if this join created it.
class UntouchedUnlessBegun {
  public:
    UntouchedUnlessBegun(TFileStream& output, const std::string& destination)
        : output_(output), destination_(destination) {}
    ~UntouchedUnlessBegun() {
        if (!begun_ && output_.Created()) {
            output_.RemoveWhileOpen(destination_);
        }
    }
    UntouchedUnlessBegun(const UntouchedUnlessBegun&) = delete;
    UntouchedUnlessBegun& operator=(const UntouchedUnlessBegun&) = delete;
    void Begin() { begun_ = true; }

  private:
    TFileStream& output_;
    const std::string& destination_;
    bool begun_ = false;
};

// The destination once the join has begun: pieces appended, checked against
// the manifest, flushed in groups and deleted, and the cut back after a
// failure. With a manifest, a piece is hashed on another thread while the next
// ones are copied; its digest is checked before anything relies on the piece:
// before the flush that leads to its deletion, and before a cut back.
class Appender {
  public:
    // With a manifest, `whole` holds the digest of the `start` bytes already
    // in the destination.
    Appender(TFileStream& output, const std::string& destination, ProgressSink& progress,
             const JoinOptions& options, std::int64_t start, std::int64_t total,
             const PieceSetSurvey& survey, std::optional<Sha256>& whole)
        : output_(output),
          destination_(destination),
          progress_(progress),
          options_(options),
          total_(total),
          appended_(start),
          gone_(start),
          writtenBack_(start),
          manifest_(survey.manifest),
          manifestPath_(ManifestPath(survey.base)),
          whole_(whole) {
        if (manifest_) {
            hashing_.emplace(kDigestLanes);
        }
    }

    // Appends piece `number`, then flushes and deletes the pieces waiting when
    // they make a group. The group never ends just before the last piece: as
    // long as pieces are left, one of them has the set's piece size, which a
    // resume needs.
    void Append(const SurveyedPiece& piece, std::uint64_t number, bool nextIsLast) {
        std::unique_ptr<Sha256> digest;
        for (;;) {
            try {
                digest = Copy(piece);
                break;
            } catch (const EWriteError&) {
                // A full disk, most likely. Deleting piece by piece would have
                // freed the room of the pieces waiting: free it now, go on.
                if (pending_.empty() || options_.keepPieces) {
                    throw;
                }
                // The whole file's digest took in the part copied: it is
                // computed again from the destination at the end.
                wholeFromDestination_ = true;
                output_.SetSize(appended_);
                if (!FlushAndDelete()) {
                    throw;
                }
            }
        }
        pending_.push_back({piece.path, appended_, number, std::move(digest)});
        appended_ += piece.facts.size;
        pendingBytes_ += piece.facts.size;
        progress_.SetPosition(Percent(appended_, total_));
        if (pendingBytes_ >= kFlushGroupBytes && !nextIsLast) {
            FlushAndDelete();
        }
    }

    // Deletes the pieces whose bytes the destination held before the join
    // began, once it is flushed.
    void RemoveHeld(const std::vector<SurveyedPiece>& held) {
        if (held.empty()) {
            return;
        }
        output_.Flush();
        for (const SurveyedPiece& piece : held) {
            RemoveOrNote(piece.path);
        }
        progress_.SetPosition(Percent(appended_, total_));
    }

    // The last flush and deletions, once every piece and the whole file are
    // checked against the manifest.
    JoinOutcome Finish() {
        RequireIntact();
        // Every piece matched its line: a whole-file line that does not is
        // the manifest's fault, not the file's.
        if (manifest_ && WholeDigest() != manifest_->whole) {
            throw EBadManifest(manifestPath_);
        }
        FlushAndDelete();
        if (!pending_.empty()) {
            // The first piece stayed, and so did those after it.
            undeleted_.insert(undeleted_.begin(), pending_.front().path);
        }
        return {std::move(undeleted_)};
    }

    // After a failure: the destination cut back to the last whole, intact
    // piece and flushed, and the pieces it holds deleted. Where that fails, it
    // is cut back to the pieces already gone. Raises nothing.
    void CutBack() noexcept {
        try {
            KeepIntactOnly();
        } catch (...) {
            // The digests could not be computed: no piece waiting is vouched for.
            if (!pending_.empty()) {
                appended_ = pending_.front().start;
                pending_.clear();
            }
        }
        try {
            if (output_.Created() && appended_ == 0) {
                // Nothing was joined: the file this join created goes again.
                if (output_.RemoveWhileOpen(destination_)) {
                    progress_.FileDeleted(destination_);
                }
                return;
            }
            // Kept pieces all stay: none of their bytes may stay in the destination.
            output_.SetSize(options_.keepPieces ? gone_ : appended_);
            FlushAndDelete();
            return;
        } catch (...) {
        }
        try {
            output_.SetSize(gone_);
        } catch (...) {
        }
    }

  private:
    struct Pending {
        std::string path;
        std::int64_t start;  // where its bytes begin in the destination
        std::uint64_t number;
        std::unique_ptr<Sha256> digest;  // with a manifest, until checked
    };

    // Copies the piece; with a manifest, returns the digest that its blocks
    // are being hashed into.
    std::unique_ptr<Sha256> Copy(const SurveyedPiece& piece) {
        const std::unique_ptr<TFileStream> input = OpenUnchanged(piece);
        const BlockObserver afterBlock = [this] {
            // The disk writes what is appended while the copy goes on.
            const std::int64_t written = output_.Position();
            if (written > writtenBack_) {
                output_.BeginFlush(writtenBack_, written - writtenBack_);
            }
            writtenBack_ = written;
            progress_.BlockCopied();
        };
        std::unique_ptr<Sha256> digest;
        try {
            if (!manifest_) {
                if (piece.facts.size > 0) {
                    output_.CopyFrom(*input, piece.facts.size, afterBlock);
                }
            } else {
                digest = std::make_unique<Sha256>();
                hashing_->Copy(output_, *input, piece.facts.size, Digests(*digest, *whole_),
                               afterBlock);
            }
        } catch (const EReadError&) {
            // A short read: the piece shrank under the copy.
            if (input->Facts() != piece.facts) {
                throw EChangedDuringJoin(piece.path);
            }
            throw;
        }
        if (input->Facts() != piece.facts) {
            if (hashing_) {
                hashing_->Wait();  // its blocks still use `digest`
            }
            throw EChangedDuringJoin(piece.path);
        }
        return digest;
    }

    // Checks the digests of the pieces waiting; the first damaged one and the
    // later ones are no longer counted as appended. Returns the damaged one.
    std::optional<std::string> KeepIntactOnly() {
        if (!hashing_) {
            return std::nullopt;
        }
        hashing_->Wait();
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            Pending& piece = pending_[i];
            if (!piece.digest) {
                continue;  // checked already
            }
            const bool intact = piece.digest->HexDigest() == manifest_->pieces[piece.number - 1];
            piece.digest.reset();
            if (!intact) {
                std::string damaged = piece.path;
                appended_ = piece.start;
                pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i), pending_.end());
                pendingBytes_ = pending_.empty() ? 0 : appended_ - pending_.front().start;
                return damaged;
            }
        }
        return std::nullopt;
    }

    void RequireIntact() {
        if (const auto damaged = KeepIntactOnly()) {
            throw EDamaged(*damaged);
        }
    }

    std::string WholeDigest() {
        if (!wholeFromDestination_) {
            return whole_->HexDigest();
        }
        Sha256 digest;
        output_.SetPosition(0);
        HashNext(output_, appended_, {&digest});
        return digest.HexDigest();
    }

    // Flushes the destination and deletes the pieces waiting; returns whether
    // any went. The set's first piece goes before any other: while it can
    // not be deleted, every piece stays waiting, to be tried again at the
    // next flush. Another that can not be deleted is left and noted.
    bool FlushAndDelete() {
        RequireIntact();
        output_.Flush();
        if (!folderFlushed_) {
            FlushFolderOf(destination_);
            folderFlushed_ = true;
        }
        pendingBytes_ = 0;
        if (options_.keepPieces) {
            pending_.clear();
            return false;
        }
        if (!pending_.empty() && pending_.front().number == 1 && !Remove(pending_.front().path)) {
            return false;
        }
        const bool any = !pending_.empty();
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i].number != 1) {
                RemoveOrNote(pending_[i].path);
            }
        }
        gone_ = appended_;
        pending_.clear();
        return any;
    }

    bool Remove(const std::string& piece) {
        if (!RemoveFile(piece)) {
            return false;
        }
        progress_.FileDeleted(piece);
        return true;
    }

    // A piece whose bytes are safe but that can not be deleted does not stop
    // the join: a later one deletes it.
    void RemoveOrNote(const std::string& piece) {
        if (!Remove(piece)) {
            undeleted_.push_back(piece);
        }
    }

    TFileStream& output_;
    const std::string& destination_;
    ProgressSink& progress_;
    const JoinOptions& options_;
    std::int64_t total_;
    std::int64_t appended_;          // the end of the last whole piece appended
    std::int64_t gone_;              // the end of the bytes whose pieces are deleted
    std::int64_t writtenBack_;       // the end of the bytes handed to the disk
    std::vector<Pending> pending_;   // appended, not yet deleted
    std::int64_t pendingBytes_ = 0;  // appended since the last flush
    std::vector<std::string> undeleted_;
    bool folderFlushed_ = false;
    const std::optional<Manifest>& manifest_;
    std::string manifestPath_;
    std::optional<Sha256>& whole_;  // with a manifest: the digest of what is appended
    bool wholeFromDestination_ = false;
    // With a manifest: the copies that hash. Declared last, to end first: its
    // thread uses the digests above until then.
    std::optional<InspectedCopier> hashing_;
};

// With a manifest, the pieces whose bytes a resumed join keeps are checked in
// the destination, each against its digest: `count` pieces of the plan's
// size, the last one shorter when the destination ends sooner. Returns the
// digest of those bytes, for the whole file's. Reads only.
Sha256 CheckedPrefix(TFileStream& output, const Manifest& manifest, const Plan& plan,
                     std::uint64_t count, const std::string& destination) {
    const auto pieces = static_cast<std::int64_t>(count);
    if (plan.start < (pieces - 1) * plan.pieceSize || plan.start > pieces * plan.pieceSize) {
        throw EDamaged(destination);
    }
    Sha256 whole;
    output.SetPosition(0);
    for (std::uint64_t number = 1; number <= count; ++number) {
        const std::int64_t offset = static_cast<std::int64_t>(number - 1) * plan.pieceSize;
        Sha256 own;
        HashNext(output, std::min(plan.pieceSize, plan.start - offset), {&own, &whole});
        if (own.HexDigest() != manifest.pieces[number - 1]) {
            throw EDamaged(destination);
        }
    }
    return whole;
}

// The set surveyed again once the destination is held: it must be as it was.
void RequireUnchanged(const PieceSetSurvey& survey, const std::string& picked,
                      const std::string& destination) {
    std::optional<std::string> changed;
    try {
        changed = FirstDifference(survey, SurveyPieceSet(picked, destination), destination);
    } catch (const EFileNotFound&) {
        changed = survey.pieces.front().path;  // another join took the whole set meanwhile
    }
    if (changed) {
        throw EChangedDuringJoin(*changed);
    }
}

// The destination's disk must take what the join adds to it: the whole file
// less what the destination holds already; beside the pieces, whose room the
// join frees as it goes, one piece at a time. Its file system must take the
// whole file.
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

}  // namespace

JoinOutcome Join(const std::string& picked, const std::string& destination, ProgressSink& progress,
                 const JoinOptions& options) {
    const PieceSetSurvey survey = SurveyPieceSet(picked, destination);
    survey.Refuse(options.acceptFullLastPiece);
    RequireRoomForJoin(survey, destination, options);

    TFileStream output(destination, OpenMode::Update);
    UntouchedUnlessBegun untouched(output, destination);
    const FileIdentity held = output.Facts().identity;
    for (const SurveyedPiece& piece : survey.pieces) {
        if (piece.facts.identity == held) {
            throw EDestinationIsPiece(destination);
        }
    }
    RequireUnchanged(survey, picked, destination);
    if (!survey.Resumes() && !output.Created() && !options.replaceDestination &&
        !IsThisSetsJoin(output, survey)) {
        throw EDestinationExists(destination);
    }
    const Plan plan = PlanJoin(output, survey, picked);
    std::optional<Sha256> whole;
    if (survey.manifest) {
        // Every piece is in the destination once none is left to append.
        const std::uint64_t kept =
            plan.append.empty() ? survey.manifest->pieces.size() : survey.firstNumber - 1;
        whole.emplace(CheckedPrefix(output, *survey.manifest, plan, kept, destination));
    }
    if (output.Size() != plan.start) {
        output.SetSize(plan.start);
    } else {
        output.SetPosition(plan.start);
    }
    untouched.Begin();
    if (output.Created()) {
        progress.FileCreated(destination);
    }

    Appender appender(output, destination, progress, options, plan.start,
                      plan.start + (plan.append.empty() ? 0 : survey.PiecesSize()), survey, whole);
    try {
        appender.RemoveHeld(plan.held);
        const std::uint64_t firstNumber = plan.append.empty() ? 0 : survey.firstNumber;
        for (std::size_t i = 0; i < plan.append.size(); ++i) {
            appender.Append(plan.append[i], firstNumber + i, i + 2 == plan.append.size());
        }
        return appender.Finish();
    } catch (...) {
        appender.CutBack();
        throw;
    }
}

}  // namespace morcelix
