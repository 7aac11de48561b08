#include "pieces/split_in_place.h"

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/checksum_files.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/work_record.h"

namespace morcelix {

namespace {

// The pieces of the set's name that stand, by number.
using FoundPieces = std::map<std::uint64_t, SurveyedPiece>;

// Every entry of the name counts: one that is not a regular file (a folder,
// say) is no piece of this split, and would stop it where it is written.
FoundPieces FindPieces(const InPlaceSplitSurvey& survey) {
    FoundPieces found;
    ForEachPieceNameBeside(survey.piecesAt, [&](std::uint64_t number, const std::string& path) {
        const std::optional<FileFacts> facts = RegularFileFacts(path);
        if (!facts) {
            throw ENotInPlacePiece(path, survey.source);
        }
        found[number] = {number, *facts};
    });
    return found;
}

std::string PathOf(const InPlaceSplitSurvey& survey, const SurveyedPiece& piece) {
    return PieceName(survey.piecesAt, piece.number);
}

std::int64_t OffsetOf(const InPlaceSplitSurvey& survey, std::uint64_t number) {
    return static_cast<std::int64_t>(number - 1) * survey.pieceSize;
}

std::int64_t BytesOf(const InPlaceSplitSurvey& survey, std::uint64_t number) {
    return std::min(survey.pieceSize, survey.length - OffsetOf(survey, number));
}

// Whether `piece` holds the beginning of the bytes of its place in `file`.
bool HoldsBytesOf(const InPlaceSplitSurvey& survey, TStream& file, const SurveyedPiece& piece) {
    if (piece.facts.size > BytesOf(survey, piece.number)) {
        return false;
    }
    Sha256 expected;
    file.SetPosition(OffsetOf(survey, piece.number));
    HashNext(file, piece.facts.size, {&expected});
    return FileDigest(PathOf(survey, piece)) == expected.HexDigest();
}

// Takes the pieces from `first` up to the highest one found as standing whole
// beyond the file, into survey.cut, adding their bytes to survey.length: each
// as large as a piece but the last, which is shorter. Returns the path of the
// first piece that does not fit: one of another size, or one beyond a gap.
std::optional<std::string> TakeCutPieces(InPlaceSplitSurvey& survey, const FoundPieces& found,
                                         std::uint64_t first) {
    const std::uint64_t highest = found.rbegin()->first;
    for (std::uint64_t number = first; number <= highest; ++number) {
        const auto piece = found.find(number);
        if (piece == found.end()) {
            return PathOf(survey, found.upper_bound(number)->second);
        }
        const std::int64_t size = piece->second.facts.size;
        if (number < highest ? size != survey.pieceSize : size >= survey.pieceSize) {
            return PathOf(survey, piece->second);
        }
        survey.length += size;
        survey.cut.push_back(piece->second);
    }
    survey.count = highest;
    survey.cutFrom = first;
    return std::nullopt;
}

// Fits what stands to a split in place of the surveyed file with the survey's
// piece size, filling in the rest of the survey. A file of whole pieces with
// pieces beyond it was cut that far; otherwise nothing was cut yet, and the
// file is the whole source. Below the pieces cut off, those found must be
// copies of the file's bytes at their place. Returns the path of a piece that
// does not fit, if one does not.
std::optional<std::string> Fit(InPlaceSplitSurvey& survey, const FoundPieces& found,
                               TStream& file) {
    const std::int64_t kept = survey.file->size;
    const auto whole = static_cast<std::uint64_t>(kept / survey.pieceSize);
    const std::uint64_t highest = found.empty() ? 0 : found.rbegin()->first;
    survey.length = kept;
    survey.cut.clear();
    survey.copies.clear();
    if (kept % survey.pieceSize == 0 && whole >= 1 && highest > whole) {
        if (auto misfit = TakeCutPieces(survey, found, whole + 1)) {
            return misfit;
        }
    } else {
        survey.count = whole + 1;
        survey.cutFrom = survey.count + 1;
        if (highest > survey.count) {
            return PathOf(survey, found.upper_bound(survey.count)->second);
        }
    }
    for (const auto& [number, piece] : found) {
        if (number >= survey.cutFrom) {
            break;
        }
        if (!survey.recorded && !HoldsBytesOf(survey, file, piece)) {
            return PathOf(survey, piece);
        }
        survey.copies.push_back(piece);
    }
    return std::nullopt;
}

// Raises EInPlaceOtherSize when what stands fits a split in place with
// another piece size: that of a piece below the highest one, or, when the
// last piece alone was cut off, the file's length shared among the pieces it
// still holds.
void RefuseOtherSizeThatFits(const InPlaceSplitSurvey& survey, const FoundPieces& found,
                             TStream& file) {
    std::vector<std::int64_t> sizes;
    for (auto piece = found.begin(); piece != std::prev(found.end()); ++piece) {
        sizes.push_back(piece->second.facts.size);
    }
    const std::uint64_t highest = found.rbegin()->first;
    const std::int64_t kept = survey.file->size;
    if (highest >= 2 && kept % static_cast<std::int64_t>(highest - 1) == 0) {
        sizes.push_back(kept / static_cast<std::int64_t>(highest - 1));
    }
    for (const std::int64_t size : sizes) {
        InPlaceSplitSurvey other = survey;
        other.pieceSize = size;
        if (size > 0 && size != survey.pieceSize && !Fit(other, found, file)) {
            throw EInPlaceOtherSize(survey.source, size, other.cutFrom <= other.count);
        }
    }
}

// Finds whether the pieces go beside the file, on its disk, which must take
// what is left to write. There, the first piece stays in the file and each
// other piece's room comes back once it is cut off the file: the largest piece
// left, less what a copy of it standing already takes. On another disk, every
// piece left, less the copies. Its file system must take a piece.
void RequireRoomForPieces(InPlaceSplitSurvey& survey) {
    const std::uint64_t next = survey.cutFrom - 1;  // the first piece to write
    const std::string name = PieceName(survey.piecesAt, next);
    const std::optional<DiskFacts> disk = DiskFactsOf(name);
    if (!disk) {
        return;  // a folder that is not there: creating the piece says so
    }
    survey.piecesBesideFile = disk->volume == survey.file->identity.volume;
    std::int64_t copied = 0;
    std::int64_t copyOfNext = 0;
    for (const SurveyedPiece& copy : survey.copies) {
        copied += copy.facts.size;
        if (copy.number == next) {
            copyOfNext = copy.facts.size;
        }
    }
    std::int64_t needed = 0;
    if (!survey.piecesBesideFile) {
        needed = OffsetOf(survey, next) + BytesOf(survey, next) - copied;
    } else if (next >= 2) {
        needed = std::max(BytesOf(survey, next) - copyOfNext, next >= 3 ? survey.pieceSize : 0);
    }
    // Every piece but the last is as large as the first.
    RequireRoom(*disk, name, needed, std::min(survey.pieceSize, survey.length),
                PieceName(survey.piecesAt, 1));
    survey.spareRoom = std::max<std::int64_t>(disk->freeBytes - needed, 0);
}

// The record of an earlier run of this split, when one stands beside the
// pieces. One that another file has taken, or another operation's, is in the
// way of this split's own: ENotInPlacePiece; one of this split with another
// piece size, EInPlaceOtherSize.
std::optional<InPlaceRecord> RecordOfThisSplit(const InPlaceSplitSurvey& survey) {
    const RecordFound found = ReadRecord(survey.piecesAt);
    using State = RecordFound::State;
    if (found.state == State::Absent) {
        return std::nullopt;
    }
    const InPlaceRecord* record = found.InPlace();
    if (record == nullptr || !SamePlace(record->file, survey.source)) {
        throw ENotInPlacePiece(RecordPath(survey.piecesAt), survey.source);
    }
    if (record->pieceSize != survey.pieceSize) {
        throw EInPlaceOtherSize(survey.source, record->pieceSize, true);
    }
    return *record;
}

void FlushFoldersOf(const std::string& piece, const std::string& source) {
    FlushFolderOf(piece);
    if (FolderPart(piece) != FolderPart(source)) {
        FlushFolderOf(source);
    }
}

// Shows `writers` the set's bytes in order, piece after piece, one read of
// each: the pieces that `file` still holds, from its start, then those cut
// off it (`file` may be null when it holds none: a finished split).
void ShowSetTo(SetWriters& writers, const InPlaceSplitSurvey& survey, TStream* file,
               const BlockObserver& afterBlock) {
    InspectedCopier copier(writers.Lanes());
    if (file != nullptr) {
        file->SetPosition(0);
    }
    for (std::uint64_t number = 1; number < survey.cutFrom; ++number) {
        copier.Read(*file, BytesOf(survey, number), writers.PieceLanes(number), afterBlock);
    }
    for (const SurveyedPiece& piece : survey.cut) {
        TFileStream input(PathOf(survey, piece), OpenMode::Read);
        copier.Read(input, piece.facts.size, writers.PieceLanes(piece.number), afterBlock);
    }
    copier.Wait();
}

// The record of the split `survey` describes, as it stands; nothing when none does.
std::optional<HeldRecord> HeldRecordOf(const InPlaceSplitSurvey& survey) {
    if (!survey.recorded) {
        return std::nullopt;
    }
    return std::optional<HeldRecord>(std::in_place, survey.piecesAt);
}

// Writes the files beside the pieces that `sums` asks for, from the pieces,
// unless they all stand whole.
void WriteSums(const InPlaceSplitSurvey& survey, const SplitSums& sums, ProgressSink& progress) {
    SetWriters writers(sums);
    if (writers.AllStand(survey.piecesAt)) {
        return;
    }
    ShowSetTo(writers, survey, nullptr, {});
    writers.Write(survey.piecesAt, survey.length, progress, {});
}

// A split found finished: the run that renamed the file may have stopped
// before the rename was on the disk, or before its checksum files were
// written (or, after a power cut, before they were whole): they are written
// again from the pieces.
void ConfirmFinished(const InPlaceSplitSurvey& survey, ProgressSink& progress,
                     const SplitSums& sums) {
    progress.Begin(survey.length, survey.length);
    std::optional<HeldRecord> record = HeldRecordOf(survey);
    FlushFoldersOf(PieceName(survey.piecesAt, 1), survey.source);
    WriteSums(survey, sums, progress);
    if (record) {
        record->Remove();
    }
}

// A piece being written, deleted again once closed unless it is kept: until
// its bytes are cut off the file, the file holds them, and a piece written in
// part would only take room.
class PieceBeingWritten {
  public:
    PieceBeingWritten(const std::string& name, ProgressSink& progress)
        : stream_(std::in_place, name, OpenMode::Create), progress_(progress) {
        progress_.FileCreated(name);
    }
    ~PieceBeingWritten() {
        if (!kept_) {
            const std::string name = stream_->Name();
            stream_.reset();
            if (RemoveFile(name)) {
                progress_.FileDeleted(name);
            }
        }
    }
    PieceBeingWritten(const PieceBeingWritten&) = delete;
    PieceBeingWritten& operator=(const PieceBeingWritten&) = delete;

    TFileStream& Stream() { return *stream_; }
    void Keep() { kept_ = true; }

  private:
    std::optional<TFileStream> stream_;
    ProgressSink& progress_;
    bool kept_ = false;
};

// The file once held: the pieces copied out of its end and cut off it, a group
// at a time, then the file made the first piece.
class Cutter {
  public:
    Cutter(const InPlaceSplitSurvey& survey, ProgressSink& progress, const SplitSums& sums)
        : survey_(survey),
          progress_(progress),
          file_(OpenAsSurveyed()),
          kept_(file_->Facts()),
          spareRoom_(survey.spareRoom),
          writers_(sums) {}

    void Run() {
        progress_.Begin(survey_.length, Done());
        if (survey_.recorded) {
            record_.emplace(survey_.piecesAt);
        } else {
            record_.emplace(survey_.piecesAt, InPlaceRecord{.file = AbsolutePath(survey_.source),
                                                            .pieceSize = survey_.pieceSize,
                                                            .length = survey_.length});
        }
        if (!writers_.Empty()) {
            // Every byte read once, from the start, before anything is cut.
            ShowSetTo(writers_, survey_, file_.get(), [this](std::int64_t) {
                progress_.Moved(Done(), ProgressSink::Mark::Block);
            });
        }
        record_->Begin();
        RemoveChecksumFiles(survey_.piecesAt, progress_);
        for (std::uint64_t number = survey_.cutFrom - 1; number >= 2;) {
            number = CutOffGroup(number);
        }
        Finish();
    }

  private:
    // The bytes cut off the file so far.
    std::int64_t Done() const { return survey_.length - kept_.size; }

    // The file, held against any other writer, and the pieces, as surveyed.
    std::unique_ptr<TFileStream> OpenAsSurveyed() const {
        auto file = std::make_unique<TFileStream>(survey_.source, OpenMode::Update);
        if (file->Created()) {
            // Gone since the survey: this open made an empty file of its name.
            file->RemoveWhileOpen(survey_.source);
            throw EChangedDuringSplit(survey_.source);
        }
        if (file->Facts() != *survey_.file) {
            throw EChangedDuringSplit(survey_.source);
        }
        for (const auto* pieces : {&survey_.cut, &survey_.copies}) {
            for (const SurveyedPiece& piece : *pieces) {
                if (RegularFileFacts(PathOf(survey_, piece)) != piece.facts) {
                    throw EChangedDuringSplit(PathOf(survey_, piece));
                }
            }
        }
        return file;
    }

    // A group of pieces costs one cut and one flush of their folder, and the
    // flushes of the pieces follow each other: one commit of the file
    // system's journal serves them all.
    static constexpr std::int64_t kGroupBytes = 64 << 20;
    static constexpr std::size_t kGroupPieces = 64;

    // Copies pieces `from` downwards out of the end of the file, as many as a
    // group takes, flushes them and their folder, then cuts their bytes off
    // the file. Returns the next piece to cut off.
    std::uint64_t CutOffGroup(std::uint64_t from) {
        const std::int64_t room = survey_.piecesBesideFile
                                      ? BytesOf(survey_, from) + spareRoom_
                                      : std::numeric_limits<std::int64_t>::max();
        std::vector<std::unique_ptr<PieceBeingWritten>> group;
        std::uint64_t number = from;
        for (; number >= 2 && group.size() < kGroupPieces; --number) {
            const std::int64_t bytes = BytesOf(survey_, number);
            if (!group.empty() && grouped_ + bytes > std::min(room, kGroupBytes)) {
                break;
            }
            try {
                group.push_back(Write(number));
            } catch (const ENoRoomToWrite&) {
                // The disk takes less than it seemed (it rounds sizes up to
                // its blocks; other programs write): the pieces written are
                // cut off, and from then on one piece at a time.
                if (group.empty()) {
                    throw;
                }
                spareRoom_ = 0;
                break;
            }
            grouped_ += bytes;
        }
        for (const auto& piece : group) {
            piece->Stream().Flush();
        }
        FlushFolderOf(group.front()->Stream().Name());
        const std::int64_t offset = OffsetOf(survey_, number + 1);
        if (kept_.size > offset) {
            file_->SetSize(offset);
            kept_ = file_->Facts();
        }
        for (const auto& piece : group) {
            piece->Keep();
        }
        grouped_ = 0;
        progress_.Moved(Done(), ProgressSink::Mark::Piece);
        return number;
    }

    // Copies piece `number` out of the end of the file and hands it to the disk.
    std::unique_ptr<PieceBeingWritten> Write(std::uint64_t number) {
        auto piece =
            std::make_unique<PieceBeingWritten>(PieceName(survey_.piecesAt, number), progress_);
        file_->SetPosition(OffsetOf(survey_, number));
        Copy(piece->Stream(), *file_, BytesOf(survey_, number));
        return piece;
    }

    // Copies `bytes` from the position of `from`, which holds the file as this
    // run left it, into `piece`, and hands what is written to the disk as it
    // goes.
    void Copy(TFileStream& piece, THandleStream& from, std::int64_t bytes) {
        std::int64_t handedOver = 0;
        const BlockObserver afterBlock = [&](std::int64_t) {
            const std::int64_t written = piece.Position();
            piece.BeginFlush(handedOver, written - handedOver);
            handedOver = written;
            progress_.Moved(Done() + grouped_ + written, ProgressSink::Mark::Block);
        };
        RequireCopied(copier_.Copy(piece, from, kept_, bytes, {}, afterBlock), survey_.source,
                      piece.Name());
    }

    // The files beside the pieces, then the file, which holds the first
    // piece's bytes, renamed to the first piece on its own disk; on another
    // disk (or where the rename fails), copied there and deleted.
    void Finish() {
        writers_.Write(survey_.piecesAt, survey_.length, progress_, {});
        const std::string first = PieceName(survey_.piecesAt, 1);
        if (survey_.piecesBesideFile) {
            // The last cut on the disk before the file takes the first
            // piece's name: a file system may keep a rename and lose a size.
            file_->Flush();
        }
        file_.reset();  // Windows renames no open file
        if (survey_.piecesBesideFile) {
            progress_.Moved(survey_.length, ProgressSink::Mark::Piece);
            if (RenameFile(survey_.source, first)) {
                FlushFoldersOf(first, survey_.source);
                progress_.FileCreated(first);
                record_->Remove();
                return;
            }
        }
        {
            TFileStream input(survey_.source, OpenMode::Read);
            PieceBeingWritten piece(first, progress_);
            Copy(piece.Stream(), input, kept_.size);
            piece.Stream().Flush();
            FlushFolderOf(first);
            piece.Keep();
            progress_.Moved(survey_.length, ProgressSink::Mark::Piece);
        }
        if (!RemoveFile(survey_.source)) {
            throw Failure(Text::NotDeleted, survey_.source);
        }
        progress_.FileDeleted(survey_.source);
        FlushFolderOf(survey_.source);
        record_->Remove();
    }

    const InPlaceSplitSurvey& survey_;
    ProgressSink& progress_;
    std::unique_ptr<TFileStream> file_;
    FileFacts kept_;            // the file as this run last left it
    std::int64_t spareRoom_;    // what pieces beyond one may take before a cut
    std::int64_t grouped_ = 0;  // the bytes of the pieces written but not yet cut off it
    std::optional<HeldRecord> record_;
    SetWriters writers_;
    CheckedCopier copier_;
};

}  // namespace

InPlaceSplitSurvey SurveyInPlaceSplit(const std::string& source, std::int64_t pieceSize,
                                      const std::string& piecesAt) {
    if (pieceSize < 1) {
        throw EPieceSizeError(std::to_string(pieceSize));
    }
    InPlaceSplitSurvey survey;
    survey.source = source;
    survey.piecesAt = piecesAt.empty() ? source : piecesAt;
    survey.pieceSize = pieceSize;
    const FoundPieces found = FindPieces(survey);
    const std::optional<InPlaceRecord> begun = RecordOfThisSplit(survey);
    survey.recorded = begun.has_value();
    survey.file = RegularFileFacts(source);
    if (!survey.file) {
        // Finished: the file renamed to the first piece, the set whole.
        if (found.empty() || TakeCutPieces(survey, found, 1) ||
            (begun && (survey.length != begun->length || survey.count != begun->Pieces()))) {
            throw ENamedFileNotFound(source);
        }
        return survey;
    }
    const std::optional<std::uint32_t> names = HardLinkCount(source);
    if (!names) {
        throw ELinkNotSplitInPlace(source);
    }
    if (*names > 1) {
        throw EOtherNamesNotSplitInPlace(source);
    }
    for (const auto& [number, piece] : found) {
        if (piece.facts.identity == survey.file->identity) {
            throw EDestinationIsPiece(source);
        }
    }
    TFileStream file(source, OpenMode::Read);
    survey.file = file.Facts();
    if (const std::optional<std::string> misfit = Fit(survey, found, file)) {
        if (!begun) {
            RefuseOtherSizeThatFits(survey, found, file);
        }
        throw ENotInPlacePiece(*misfit, source);
    }
    if (begun && (survey.length != begun->length || survey.count != begun->Pieces())) {
        throw EChangedDuringSplit(source);
    }
    RequireRoomForPieces(survey);
    return survey;
}

void SplitInPlace(const InPlaceSplitSurvey& survey, ProgressSink& progress,
                  const SplitSums& sums) {
    if (survey.Finished()) {
        ConfirmFinished(survey, progress, sums);
        return;
    }
    Cutter(survey, progress, sums).Run();
}

}  // namespace morcelix
