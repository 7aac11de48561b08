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

// Whether a join's copy of `piece` went through: false when the target's
// disk is full; EChangedDuringJoin when the piece changed.
bool Copied(CopyOutcome outcome, const std::string& piece) {
    switch (outcome) {
        case CopyOutcome::Copied:
            return true;
        case CopyOutcome::SourceChanged:
            throw EChangedDuringJoin(piece);
        case CopyOutcome::TargetFull:
            break;
    }
    return false;
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

// The destination once the join has begun: pieces appended, flushed in
// groups and deleted, and the cut back after a failure.
class Appender {
  public:
    // `output` is the file named `name`: the destination, or the file that
    // takes its name at the end.
    Appender(TFileStream& output, const std::string& name, const std::string& destination,
             ProgressSink& progress, const JoinOptions& options, std::int64_t start,
             const PieceSetSurvey& survey)
        : output_(output),
          survey_(survey),
          name_(name),
          destination_(destination),
          progress_(progress),
          options_(options),
          appended_(start),
          gone_(start),
          writtenBack_(start) {}

    // Appends piece `number`, then flushes and deletes the pieces waiting when
    // they make a group.
    void Append(const SurveyedPiece& piece) {
        while (!Copied(Copy(piece), survey_.PathOf(piece))) {
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
    // Whether the destination's name was found to lead elsewhere than to
    // what was written.
    bool NameLost() const { return nameLost_; }

    // After a failure: the destination cut back to the last whole piece
    // appended and flushed, and the pieces it holds deleted. Where that fails,
    // it is cut back to the pieces already gone. Raises nothing.
    void CutBack() noexcept {
        if (nameLost_) {
            return;  // what the name leads to is not what was written: touch nothing
        }
        try {
            if (output_.Created() && (appended_ == 0 || options_.keepPieces)) {
                // Nothing joined stays: the file this join created goes again.
                if (output_.RemoveWhileOpen(name_)) {
                    progress_.FileDeleted(name_);
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

    // Before pieces are deleted, their bytes must be what the output's name
    // leads to: a file system may leave a name on another entry than the one
    // written (seen on FAT through FUSE after a rename). The same file, as
    // large as what was written, or ENotWhatWasWritten, and from then on
    // nothing is touched.
    void RequireNamedAsWritten() {
        const std::optional<FileFacts> named = RegularFileFacts(name_);
        const FileFacts written = output_.Facts();
        if (!named || named->identity != written.identity || named->size != written.size) {
            nameLost_ = true;
            throw ENotWhatWasWritten(destination_);
        }
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
            FlushFolderOf(name_);
            folderFlushed_ = true;
        }
        RequireNamedAsWritten();
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
    const std::string& name_;
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
    bool nameLost_ = false;
    CheckedCopier copier_;
};

// The set looked at again once the destination is held: it must be as it was.
void RequireUnchanged(const PieceSetSurvey& survey) {
    if (const std::optional<std::string> changed = ChangedSince(survey)) {
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
HeldRecord RecordOf(const PieceSetSurvey& survey, const std::string& destination,
                    const std::string& working) {
    if (survey.Resumes()) {
        return HeldRecord(survey.base);
    }
    if (survey.record.state == RecordFound::State::Foreign) {
        throw EDestinationExists(RecordPath(survey.base));
    }
    return HeldRecord(survey.base, JoinRecord{.destination = AbsolutePath(destination),
                                              .working = AbsolutePath(working),
                                              .pieces = survey.pieces.size(),
                                              .pieceSize = survey.pieceSize,
                                              .total = survey.totalSize});
}

// The file the bytes of a fresh join that replaces another file go into,
// `output` opened beside it as `working`, must be new, or its own from an
// earlier run of this join (as the record says): another file of that name is
// not replaced (EDestinationExists).
void RequireReplacementOwn(const TFileStream& output, const PieceSetSurvey& survey,
                           const std::string& working) {
    const JoinRecord* earlier = survey.record.Join();
    if (!output.Created() && !(earlier && SamePlace(earlier->working, working))) {
        throw EDestinationExists(working);
    }
}

// The file of a join that replaced another gives it its name, once complete
// and closed; the folder is flushed. Raises EFCreateError when the system
// refuses.
void TakeDestinationsName(const std::string& working, const std::string& destination) {
    if (!RenameFile(working, destination)) {
        throw EFCreateError(destination);
    }
    FlushFolderOf(destination);
}

}  // namespace

JoinOutcome Join(const std::string& picked, const std::string& destination, ProgressSink& progress,
                 const JoinOptions& options) {
    return Join(SurveyPieceSet(picked, destination), destination, progress, options);
}

JoinOutcome Join(const PieceSetSurvey& survey, const std::string& destination,
                 ProgressSink& progress, const JoinOptions& options) {
    survey.Refuse();
    RequireConsents({.fullLastPiece = survey.fullLastPiece}, options.consents, survey);
    RequireRoomForJoin(survey, destination, options.keepPieces);
    // A link of the destination's name is another file: replaced with
    // consent (the link itself, at the end), never followed.
    const bool linkInTheWay = !survey.Resumes() && IsLink(destination);
    if (linkInTheWay) {
        RequireConsents({.otherFile = destination}, options.consents, survey);
    }

    // The file written, held against any other join: the destination, or
    // where a resumed join's record says its bytes go.
    std::string working = survey.Resumes() ? survey.working : destination;
    std::optional<TFileStream> output;
    if (!linkInTheWay) {
        output.emplace(working, OpenMode::Update);
    }
    std::optional<UntouchedUnlessBegun> untouched;
    if (output) {
        untouched.emplace(*output, working);
    }
    RequireUnchanged(survey);
    JoinPlan plan;
    if (output) {
        plan = PlanJoin(*output, survey, destination, options.consents.otherFile);
    } else {
        plan = {.append = survey.pieces,
                .total = survey.totalSize,
                .pieceSize = survey.pieceSize,
                .replacesAnotherFile = true};
    }
    if (plan.replacesAnotherFile) {
        // The other file stays whole until this one takes its name.
        untouched.reset();
        working = TemporaryNameFor(destination);
        output.emplace(working, OpenMode::Update);
        untouched.emplace(*output, working);
        RequireReplacementOwn(*output, survey, working);
    }
    progress.Begin(plan.total, plan.start);
    if (survey.manifest) {
        // The set is read once, and must be what its checksum file says,
        // before anything is touched.
        const BlockObserver afterBlock = [&](std::int64_t) {
            progress.Moved(plan.start, ProgressSink::Mark::Block);
        };
        RequireSetIntact(survey, &*output, destination, plan.start, plan.append, afterBlock);
    }
    HeldRecord record = RecordOf(survey, destination, working);
    std::unique_ptr<TFileStream> firstPiece =
        FirstPieceInPlace(*output, working, survey, plan, options);
    untouched->Begin();
    record.Begin();
    const std::int64_t start = firstPiece ? plan.append.front().facts.size : plan.start;
    const std::span<const SurveyedPiece> append = plan.append.subspan(firstPiece ? 1 : 0);
    TFileStream& written = firstPiece ? *firstPiece : *output;
    if (written.Size() != start) {
        written.SetSize(start);
    } else {
        written.SetPosition(start);
    }
    if (output->Created()) {
        progress.FileCreated(working);
    }
    if (firstPiece) {
        progress.FileDeleted(survey.PathOf(survey.pieces.front()));
        progress.Moved(start, ProgressSink::Mark::Piece);
    }
    Appender appender(written, working, destination, progress, options, start, survey);
    JoinOutcome outcome;
    try {
        appender.RemoveHeld(plan.held);
        for (const SurveyedPiece& piece : append) {
            appender.Append(piece);
        }
        outcome = appender.Finish();
    } catch (...) {
        appender.CutBack();
        // Nothing to resume, or nothing that can be resumed: a destination
        // whose name leads elsewhere would take the pieces left into another
        // file. The next join refuses them.
        if (!appender.PiecesLeft(firstPiece != nullptr) || appender.NameLost()) {
            record.Remove();
        }
        throw;
    }
    if (!SamePlace(working, destination)) {
        firstPiece.reset();  // Windows renames no open file
        output.reset();
        TakeDestinationsName(working, destination);
        if (!outcome.undeleted.empty()) {
            // The pieces left are found by the next join in the destination.
            record.Rewrite(JoinRecord{.destination = AbsolutePath(destination),
                                      .working = AbsolutePath(destination),
                                      .pieces = survey.record.Join() ? survey.record.Join()->pieces
                                                                     : survey.pieces.size(),
                                      .pieceSize = plan.pieceSize,
                                      .total = plan.total});
        }
    }
    if (outcome.undeleted.empty()) {
        record.Remove();
    }
    return outcome;
}

void JoinToStream(const std::string& firstPiece, TStream& output, ProgressSink& progress,
                  const JoinConsents& consents) {
    const PieceSetSurvey survey = SurveyPieceSet(firstPiece, /*destination=*/{});
    survey.Refuse();
    RequireConsents({.fullLastPiece = survey.fullLastPiece}, consents, survey);
    progress.Begin(survey.totalSize, 0);
    SetCheck check(survey);
    if (!check.Empty() && !check.VouchesForPieces()) {
        // A sum of the whole file alone: the set is read and checked first.
        RequireSetIntact(survey, nullptr, {}, 0, survey.pieces, [&progress](std::int64_t) {
            progress.Moved(0, ProgressSink::Mark::Block);
        });
    }
    // A sum for each piece: checked once the piece is written, on other
    // threads as the data goes by; a damaged one is the last written.
    const bool asItGoes = check.VouchesForPieces();
    CheckedCopier copier(asItGoes ? check.Lanes() : 0);
    std::int64_t written = 0;
    for (const SurveyedPiece& piece : survey.pieces) {
        const std::string path = survey.PathOf(piece);
        const std::unique_ptr<TFileStream> input = OpenUnchanged(survey, piece);
        const BlockObserver afterBlock = [&](std::int64_t left) {
            progress.Moved(written + piece.facts.size - left, ProgressSink::Mark::Block);
        };
        const InspectedCopier::Inspectors lanes =
            asItGoes ? check.PieceLanes(piece.number) : InspectedCopier::Inspectors{};
        if (!Copied(copier.Copy(output, *input, piece.facts, piece.facts.size, lanes, afterBlock),
                    path)) {
            throw EWriteError();
        }
        if (asItGoes) {
            copier.Wait();
            if (check.PieceIntact(piece.number) == false) {
                throw EDamaged(path);
            }
        }
        written += piece.facts.size;
        progress.Moved(written, ProgressSink::Mark::Piece);
    }
    if (asItGoes && check.WholeVerdict(/*everyPieceFits=*/true) == SetCheck::Whole::Contradicted) {
        throw EBadManifest(check.Path());
    }
}

}  // namespace morcelix
