#include "pieces/join.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join_plan.h"
#include "pieces/piece_names.h"
#include "pieces/set_check.h"
#include "pieces/work_record.h"

namespace morcelix {

namespace {

// The destination's bytes are handed to the disk as they are appended, in
// stretches of this many at least, so that each flush has little left to wait
// for, and small pieces do not cost a call each.
constexpr std::int64_t kWriteBackBytes = std::int64_t{8} << 20;

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

// The destination once the join has begun: pieces appended, flushed in
// groups and deleted, and the cut back after a failure.
class Appender {
  public:
    Appender(TFileStream& output, const std::string& destination, ProgressSink& progress,
             const JoinOptions& options, std::int64_t start, const PieceSetSurvey& survey)
        : output_(output),
          survey_(survey),
          destination_(destination),
          progress_(progress),
          options_(options),
          appended_(start),
          gone_(start),
          writtenBack_(start) {}

    // Appends piece `number`, then flushes and deletes the pieces waiting when
    // they make a group.
    void Append(const SurveyedPiece& piece) {
        for (;;) {
            const CopyOutcome outcome = Copy(piece);
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
        appended_ += piece.facts.size;
        pendingBytes_ += piece.facts.size;
        progress_.Moved(appended_, ProgressSink::Mark::Piece);
        if (pendingBytes_ >= kFlushGroupBytes) {
            FlushAndDelete();
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

    // The last flush and deletions.
    JoinOutcome Finish() {
        FlushAndDelete();
        if (pending_.count > 0) {
            // The first piece stayed, and so did those after it.
            undeleted_.insert(undeleted_.begin(), PathOf(pending_.first));
        }
        return {std::move(undeleted_)};
    }

    // Whether a piece has left its place: deleted, or (`firstPieceMoved`)
    // the set's first piece made the destination.
    bool PiecesLeft(bool firstPieceMoved) const { return firstPieceMoved || deletedAny_; }

    // After a failure: the destination cut back to the last whole piece
    // appended and flushed, and the pieces it holds deleted. Where that fails,
    // it is cut back to the pieces already gone. Raises nothing.
    void CutBack() noexcept {
        try {
            if (output_.Created() && (appended_ == 0 || options_.keepPieces)) {
                // Nothing joined stays: the file this join created goes again.
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
    // as a range of numbers, however many.
    struct Pending {
        std::uint64_t first = 0;
        std::uint64_t count = 0;
        std::int64_t start = 0;  // where the first one's bytes begin in the destination
    };

    std::string PathOf(std::uint64_t number) const { return PieceName(survey_.base, number); }

    const SurveyedPiece& PieceNumbered(std::uint64_t number) const {
        return survey_.pieces[number - survey_.firstNumber];
    }

    CopyOutcome Copy(const SurveyedPiece& piece) {
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
        return copier_.Copy(output_, *input, piece.facts, piece.facts.size, {}, afterBlock);
    }

    // Just before the pieces waiting are deleted, each is looked at again: one
    // written to since its copy (the same size, a later write time) would
    // take its change with it. From the first such piece on, none counts as
    // appended: EChangedDuringJoin, naming it.
    void RequireWaitingUnchanged() {
        for (std::uint64_t i = 0; i < pending_.count; ++i) {
            const std::uint64_t number = pending_.first + i;
            if (RegularFileFacts(PathOf(number)) != PieceNumbered(number).facts) {
                for (std::uint64_t later = number; later < pending_.first + pending_.count;
                     ++later) {
                    appended_ -= PieceNumbered(later).facts.size;
                }
                pending_.count = i;
                throw EChangedDuringJoin(PathOf(number));
            }
        }
    }

    // Flushes the destination and deletes the pieces waiting; returns whether
    // any went. The set's first piece goes before any other: while it can
    // not be deleted, every piece stays waiting, to be tried again at the
    // next flush. Another that can not be deleted is left and noted.
    bool FlushAndDelete() {
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
        RequireWaitingUnchanged();
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
        deletedAny_ = true;
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
    bool deletedAny_ = false;
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
// (no byte of it copied), and appending starts after it. To a later run, that
// is exactly a join stopped after its first piece. Nothing when the join
// copies it instead: the pieces stay, the destination is on another volume,
// or the first piece is in use (read by another program) or changed (the
// copy finds out).
std::unique_ptr<TFileStream> FirstPieceInPlace(TFileStream& held, const std::string& destination,
                                               const PieceSetSurvey& survey, const JoinPlan& plan,
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
    if (!piece->MoveOnto(firstPath, held, destination)) {
        throw EFCreateError(destination);
    }
    return piece;
}

// The join's record: written before anything is changed by a fresh join, held
// as it stands by a resumed one. A join that keeps its pieces needs none to
// be resumed, but its record tells the next run that the destination it
// leaves is its own.
HeldRecord RecordOf(const PieceSetSurvey& survey, const std::string& destination) {
    if (survey.Resumes()) {
        return HeldRecord(survey.base);
    }
    if (survey.record.state == RecordFound::State::Foreign) {
        throw EDestinationExists(RecordPath(survey.base));
    }
    const JoinRecord record{.destination = AbsolutePath(destination),
                            .pieces = survey.pieces.size(),
                            .pieceSize = survey.pieceSize,
                            .total = survey.totalSize};
    return HeldRecord(survey.base, record);
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
    const JoinPlan plan = PlanJoin(held, survey, destination, options.replaceDestination);
    progress.Begin(plan.total, plan.start);
    if (survey.manifest) {
        // The set is read once, and must be what its checksum file says,
        // before anything is touched.
        const BlockObserver afterBlock = [&](std::int64_t) {
            progress.Moved(plan.start, ProgressSink::Mark::Block);
        };
        RequireSetMatchesSums(survey, *survey.manifest, &held, destination, plan.start, plan.append,
                              afterBlock);
    }
    HeldRecord record = RecordOf(survey, destination);
    const std::unique_ptr<TFileStream> firstPiece =
        FirstPieceInPlace(held, destination, survey, plan, options);
    untouched.Begin();
    record.Begin();
    const std::int64_t start = firstPiece ? plan.append.front().facts.size : plan.start;
    const std::span<const SurveyedPiece> append = plan.append.subspan(firstPiece ? 1 : 0);
    TFileStream& output = firstPiece ? *firstPiece : held;
    if (output.Size() != start) {
        output.SetSize(start);
    } else {
        output.SetPosition(start);
    }
    if (held.Created()) {
        progress.FileCreated(destination);
    }
    if (firstPiece) {
        progress.FileDeleted(survey.PathOf(survey.pieces.front()));
        progress.Moved(start, ProgressSink::Mark::Piece);
    }
    Appender appender(output, destination, progress, options, start, survey);
    try {
        appender.RemoveHeld(plan.held);
        for (const SurveyedPiece& piece : append) {
            appender.Append(piece);
        }
        JoinOutcome outcome = appender.Finish();
        if (outcome.undeleted.empty()) {
            record.Remove();
        }
        return outcome;
    } catch (...) {
        appender.CutBack();
        if (!appender.PiecesLeft(firstPiece != nullptr)) {
            record.Remove();
        }
        throw;
    }
}

}  // namespace morcelix
