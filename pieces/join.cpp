#include "pieces/join.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join_plan.h"
#include "pieces/piece_names.h"
#include "pieces/whole_check.h"

namespace morcelix {

namespace {

// The destination's bytes are handed to the disk as they are appended, in
// stretches of this many at least, so that each flush has little left to wait
// for, and small pieces do not cost a call each.
constexpr std::int64_t kWriteBackBytes = std::int64_t{8} << 20;

// With a manifest, the digests of the pieces appended are checked once this
// many wait, at the latest: sets of many small pieces keep few at a time.
constexpr std::size_t kUncheckedPieces = 256;

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
             const JoinOptions& options, std::int64_t start, const PieceSetSurvey& survey,
             std::optional<Digest>& whole)
        : output_(output),
          survey_(survey),
          destination_(destination),
          progress_(progress),
          options_(options),
          appended_(start),
          gone_(start),
          writtenBack_(start),
          manifest_(survey.PieceSums()),
          whole_(whole),
          copier_(manifest_ ? kDigestLanes : 0) {}

    // Appends piece `number`, then flushes and deletes the pieces waiting when
    // they make a group. The group never ends just before the last piece: as
    // long as pieces are left, one of them has the set's piece size, which a
    // resume needs.
    void Append(const SurveyedPiece& piece, bool nextIsLast) {
        std::unique_ptr<Digest> digest;
        for (;;) {
            if (manifest_) {
                digest = std::make_unique<Digest>(manifest_->kind);
            }
            const CopyOutcome outcome = Copy(piece, digest.get());
            if (outcome == CopyOutcome::Copied) {
                break;
            }
            if (outcome == CopyOutcome::SourceChanged) {
                throw EChangedDuringJoin(survey_.PathOf(piece));
            }
            // The disk is full. Deleting piece by piece would have freed the
            // room of the pieces waiting: free it now, go on.
            if (pending_.count == 0 || options_.keepPieces) {
                throw ENoRoomToWrite(destination_);
            }
            // The whole file's digest took in the part copied: it is computed
            // again from the destination at the end.
            wholeFromDestination_ = true;
            output_.SetSize(appended_);
            if (!FlushAndDelete()) {
                throw ENoRoomToWrite(destination_);
            }
        }
        if (pending_.count == 0) {
            pending_.first = piece.number;
            pending_.start = appended_;
        }
        ++pending_.count;
        if (digest) {
            pending_.unchecked.push_back(std::move(digest));
        }
        appended_ += piece.facts.size;
        pendingBytes_ += piece.facts.size;
        progress_.Moved(appended_, ProgressSink::Mark::Piece);
        if (pendingBytes_ >= kFlushGroupBytes && !nextIsLast) {
            FlushAndDelete();
        } else if (pending_.unchecked.size() >= kUncheckedPieces) {
            RequireIntact();
        }
    }

    // Deletes the pieces whose bytes the destination held before the join
    // began, once it is flushed.
    void RemoveHeld(const std::vector<SurveyedPiece>& held) {
        if (held.empty()) {
            return;
        }
        if (!options_.keepPieces) {
            output_.Flush();
            for (const SurveyedPiece& piece : held) {
                RemoveOrNote(piece.number);
            }
        }
        progress_.Moved(appended_, ProgressSink::Mark::Piece);
    }

    // The last flush and deletions, once every piece and the whole file are
    // checked against the manifest.
    JoinOutcome Finish() {
        RequireIntact();
        // Every piece matched its line: a whole-file line that does not is
        // the manifest's fault, not the file's.
        if (manifest_ && !manifest_->whole.empty() && WholeDigest() != manifest_->whole) {
            throw EBadManifest(manifest_->path);
        }
        FlushAndDelete();
        if (pending_.count > 0) {
            // The first piece stayed, and so did those after it.
            undeleted_.insert(undeleted_.begin(), PathOf(pending_.first));
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
            if (pending_.count > 0) {
                appended_ = pending_.start;
                pending_ = {};
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
    // The pieces appended, not yet deleted: always consecutive ones, so kept
    // as a range of numbers, however many. With a manifest, the digests of the
    // last of them, not yet checked, in number order.
    struct Pending {
        std::uint64_t first = 0;
        std::uint64_t count = 0;
        std::int64_t start = 0;  // where the first one's bytes begin in the destination
        std::deque<std::unique_ptr<Digest>> unchecked;
    };

    std::string PathOf(std::uint64_t number) const { return PieceName(survey_.base, number); }

    // Copies the piece; with a manifest, its blocks are hashed into `digest`
    // and the whole file's.
    CopyOutcome Copy(const SurveyedPiece& piece, Digest* digest) {
        const std::unique_ptr<TFileStream> input = OpenUnchanged(survey_, piece);
        const BlockObserver afterBlock = [this, &piece](std::int64_t left) {
            const std::int64_t written = appended_ + piece.facts.size - left;
            // The disk writes what is appended while the copy goes on.
            if (written - writtenBack_ >= kWriteBackBytes && !options_.keepPieces) {
                output_.BeginFlush(writtenBack_, written - writtenBack_);
                writtenBack_ = written;
            }
            progress_.Moved(written, ProgressSink::Mark::Block);
        };
        InspectedCopier::Inspectors inspectors;
        if (digest != nullptr) {
            inspectors = Digests({digest, &*whole_});
        }
        return copier_.Copy(output_, *input, piece.facts, piece.facts.size, inspectors, afterBlock);
    }

    // Checks the digests of the pieces waiting; the first damaged one and the
    // later ones are no longer counted as appended. Returns the damaged one.
    std::optional<std::string> KeepIntactOnly() {
        if (!manifest_) {
            return std::nullopt;
        }
        copier_.Wait();
        const std::uint64_t end = pending_.first + pending_.count;
        std::uint64_t number = end - pending_.unchecked.size();
        for (; !pending_.unchecked.empty(); ++number) {
            const bool intact =
                pending_.unchecked.front()->HexDigest() == manifest_->pieces[number - 1];
            pending_.unchecked.pop_front();
            if (!intact) {
                // Back to where the damaged piece begins.
                for (std::uint64_t later = number; later < end; ++later) {
                    appended_ -= SizeOf(later);
                }
                pending_.count = number - pending_.first;
                pending_.unchecked.clear();
                pendingBytes_ = pending_.count == 0 ? 0 : appended_ - pending_.start;
                return PathOf(number);
            }
        }
        return std::nullopt;
    }

    std::int64_t SizeOf(std::uint64_t number) const {
        return survey_.pieces[number - survey_.firstNumber].facts.size;
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
        Digest digest(manifest_->kind);
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
        pendingBytes_ = 0;
        if (options_.keepPieces) {
            // Nothing is deleted, so nothing depends on the destination's
            // bytes being on the disk: no flush, as a plain copy makes none.
            pending_ = {};
            return false;
        }
        output_.Flush();
        if (!folderFlushed_) {
            FlushFolderOf(destination_);
            folderFlushed_ = true;
        }
        if (pending_.count > 0 && pending_.first == 1 && !Remove(1)) {
            return false;
        }
        const bool any = pending_.count > 0;
        for (std::uint64_t number = pending_.first; number < pending_.first + pending_.count;
             ++number) {
            if (number != 1) {
                RemoveOrNote(number);
            }
        }
        gone_ = appended_;
        pending_ = {};
        return any;
    }

    bool Remove(std::uint64_t number) {
        const std::string piece = PathOf(number);
        if (!RemoveFile(piece)) {
            return false;
        }
        progress_.FileDeleted(piece);
        return true;
    }

    // A piece whose bytes are safe but that can not be deleted does not stop
    // the join: a later one deletes it.
    void RemoveOrNote(std::uint64_t number) {
        if (!Remove(number)) {
            undeleted_.push_back(PathOf(number));
        }
    }

    TFileStream& output_;
    const PieceSetSurvey& survey_;
    const std::string& destination_;
    ProgressSink& progress_;
    const JoinOptions& options_;
    std::int64_t appended_;     // the end of the last whole piece appended
    std::int64_t gone_;         // the end of the bytes whose pieces are deleted
    std::int64_t writtenBack_;  // the end of the bytes handed to the disk
    Pending pending_;
    std::int64_t pendingBytes_ = 0;  // appended since the last flush
    std::vector<std::string> undeleted_;
    bool folderFlushed_ = false;
    const Manifest* manifest_;      // when the set's checksum file vouches for each piece
    std::optional<Digest>& whole_;  // with a manifest: the digest of what is appended
    bool wholeFromDestination_ = false;
    // With a manifest: the copies that hash. Declared last, to end first: its
    // thread uses the digests above until then.
    CheckedCopier copier_;
};

// The set looked at again once the destination is held: it must be as it was.
void RequireUnchanged(const PieceSetSurvey& survey, const std::string& destination) {
    if (const std::optional<std::string> changed = ChangedSince(survey, destination)) {
        throw EChangedDuringJoin(*changed);
    }
}

// A fresh join whose pieces go, into a destination on the first piece's
// volume, starts from the first piece itself: it takes the destination's name
// (no byte of it copied) and the plan starts after it. To a later run, that is
// exactly a join stopped after its first piece. With a manifest, the piece is
// checked first (EDamaged). Nothing when the join copies it instead: the
// pieces stay, the destination is on another volume, or the first piece is
// in use (read by another program) or changed (the copy finds out).
std::unique_ptr<TFileStream> FirstPieceInPlace(TFileStream& held, const std::string& destination,
                                               const PieceSetSurvey& survey, JoinPlan& plan,
                                               const JoinOptions& options) {
    if (survey.Resumes() || options.keepPieces || plan.append.empty()) {
        return nullptr;
    }
    const SurveyedPiece& first = plan.append.front();
    if (first.facts.identity.volume != held.Facts().identity.volume) {
        return nullptr;
    }
    const std::string firstPath = survey.PathOf(first);
    std::unique_ptr<TFileStream> piece = TFileStream::OpenIfAvailable(firstPath, OpenMode::Update);
    if (!piece || piece->Facts() != first.facts) {
        return nullptr;
    }
    if (const Manifest* sums = survey.PieceSums()) {
        Digest own(sums->kind);
        HashNext(*piece, first.facts.size, {&own, &*plan.digestSoFar});
        if (own.HexDigest() != sums->pieces.front()) {
            throw EDamaged(firstPath);
        }
    }
    if (!piece->MoveOnto(firstPath, held, destination)) {
        throw EFCreateError(destination);
    }
    plan.start = first.facts.size;
    plan.append = plan.append.subspan(1);
    ++plan.firstNumber;
    return piece;
}

}  // namespace

JoinOutcome Join(const std::string& picked, const std::string& destination, ProgressSink& progress,
                 const JoinOptions& options) {
    const PieceSetSurvey survey = SurveyPieceSet(picked, destination);
    survey.Refuse(options.acceptFullLastPiece);
    RequireRoomForJoin(survey, destination, options);

    TFileStream held(destination, OpenMode::Update);
    UntouchedUnlessBegun untouched(held, destination);
    RequireUnchanged(survey, destination);
    JoinPlan plan = PlanJoin(held, survey, picked, destination, options.replaceDestination);
    progress.Begin(plan.total, plan.start);
    if (const Manifest* sums = survey.WholeSum()) {
        // The whole set is read once, and must be the file, before anything is touched.
        const BlockObserver afterBlock = [&](std::int64_t) {
            progress.Moved(plan.start, ProgressSink::Mark::Block);
        };
        if (!WholeFileMatches(survey, *sums, &held, plan.start, plan.append, afterBlock)) {
            throw EDamaged(destination);
        }
    }
    const std::unique_ptr<TFileStream> firstPiece =
        FirstPieceInPlace(held, destination, survey, plan, options);
    untouched.Begin();
    TFileStream& output = firstPiece ? *firstPiece : held;
    if (output.Size() != plan.start) {
        output.SetSize(plan.start);
    } else {
        output.SetPosition(plan.start);
    }
    if (held.Created()) {
        progress.FileCreated(destination);
    }
    if (firstPiece) {
        progress.FileDeleted(survey.PathOf(survey.pieces.front()));
        progress.Moved(plan.start, ProgressSink::Mark::Piece);
    }
    Appender appender(output, destination, progress, options, plan.start, survey, plan.digestSoFar);
    try {
        appender.RemoveHeld(plan.held);
        for (std::size_t i = 0; i < plan.append.size(); ++i) {
            appender.Append(plan.append[i], i + 2 == plan.append.size());
        }
        return appender.Finish();
    } catch (...) {
        appender.CutBack();
        throw;
    }
}

}  // namespace morcelix
