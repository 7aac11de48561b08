#include "pieces/split_in_place.h"

#include <algorithm>
#include <map>
#include <memory>

#include "pieces/checked_copy.h"
#include "pieces/failure.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/sha256.h"

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
        found[number] = {path, *facts};
    });
    return found;
}

std::int64_t OffsetOf(const InPlaceSplitSurvey& survey, std::uint64_t number) {
    return static_cast<std::int64_t>(number - 1) * survey.pieceSize;
}

std::int64_t BytesOf(const InPlaceSplitSurvey& survey, std::uint64_t number) {
    return std::min(survey.pieceSize, survey.length - OffsetOf(survey, number));
}

// Whether `piece` holds the beginning of the `room` bytes at `offset` in `file`.
bool HoldsBytesOf(TStream& file, std::int64_t offset, std::int64_t room,
                  const SurveyedPiece& piece) {
    if (piece.facts.size > room) {
        return false;
    }
    Sha256 expected;
    file.SetPosition(offset);
    HashNext(file, piece.facts.size, {&expected});
    return FileDigest(piece.path) == expected.HexDigest();
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
            return found.upper_bound(number)->second.path;
        }
        const std::int64_t size = piece->second.facts.size;
        if (number < highest ? size != survey.pieceSize : size >= survey.pieceSize) {
            return piece->second.path;
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
            return found.upper_bound(survey.count)->second.path;
        }
    }
    for (const auto& [number, piece] : found) {
        if (number >= survey.cutFrom) {
            break;
        }
        const std::int64_t offset = OffsetOf(survey, number);
        if (!HoldsBytesOf(file, offset, BytesOf(survey, number), piece)) {
            return piece.path;
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
        if (copy.path == name) {
            copyOfNext = copy.facts.size;
        }
    }
    std::int64_t needed = 0;
    if (!survey.piecesBesideFile) {
        needed = OffsetOf(survey, next) + BytesOf(survey, next) - copied;
    } else if (next >= 2) {
        needed = std::max(BytesOf(survey, next) - copyOfNext, next >= 3 ? survey.pieceSize : 0);
    }
    RequireRoom(*disk, name, needed, std::min(survey.pieceSize, survey.length));
}

void FlushFoldersOf(const std::string& piece, const std::string& source) {
    FlushFolderOf(piece);
    if (FolderPart(piece) != FolderPart(source)) {
        FlushFolderOf(source);
    }
}

// A split found finished: the run that renamed the file may have stopped
// before the rename was on the disk, or before the manifest was written.
void ConfirmFinished(const InPlaceSplitSurvey& survey, ProgressSink& progress, bool manifest) {
    progress.Begin(survey.length, survey.length);
    FlushFoldersOf(PieceName(survey.piecesAt, 1), survey.source);
    if (!manifest || FileExists(ManifestPath(survey.piecesAt))) {
        return;
    }
    Manifest written;
    Sha256 whole;
    for (const SurveyedPiece& piece : survey.cut) {
        written.pieces.push_back(FileDigest(piece.path, &whole));
    }
    written.whole = whole.HexDigest();
    WriteManifest(survey.piecesAt, written);
    progress.FileCreated(ManifestPath(survey.piecesAt));
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

// The file once held: the pieces copied out of its end and cut off it, one at
// a time, then the file made the first piece.
class Cutter {
  public:
    Cutter(const InPlaceSplitSurvey& survey, ProgressSink& progress, bool manifest)
        : survey_(survey),
          progress_(progress),
          file_(OpenAsSurveyed()),
          kept_(file_->Facts()),
          manifest_(manifest),
          copier_(manifest ? 1 : 0) {
        if (manifest) {
            digests_.resize(survey.count);
        }
    }

    void Run() {
        progress_.Begin(survey_.length, Done());
        if (RemoveManifest(survey_.piecesAt)) {
            progress_.FileDeleted(ManifestPath(survey_.piecesAt));
        }
        if (manifest_) {
            DigestWhatStays();
        }
        for (std::uint64_t number = survey_.cutFrom - 1; number >= 2; --number) {
            CutOff(number);
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
                if (RegularFileFacts(piece.path) != piece.facts) {
                    throw EChangedDuringSplit(piece.path);
                }
            }
        }
        return file;
    }

    // The digests of the bytes this run does not write, and with them the
    // whole file's: the first piece, which stays in the file, and the pieces
    // cut off it already. One read of the file from its start.
    void DigestWhatStays() {
        Sha256 first;
        Sha256 whole;
        const std::int64_t head = std::min(survey_.pieceSize, kept_.size);
        file_->SetPosition(0);
        HashNextWatched(*file_, head, {&first, &whole});
        HashNextWatched(*file_, kept_.size - head, {&whole});
        digests_[0] = first.HexDigest();
        std::uint64_t number = survey_.cutFrom;
        for (const SurveyedPiece& piece : survey_.cut) {
            TFileStream input(piece.path, OpenMode::Read);
            Sha256 own;
            HashNextWatched(input, piece.facts.size, {&own, &whole});
            digests_[number++ - 1] = own.HexDigest();
        }
        whole_ = whole.HexDigest();
    }

    // Hashes the next `count` bytes of `stream` into `digests`; the progress
    // sink may stop it between blocks.
    void HashNextWatched(TStream& stream, std::int64_t count,
                         std::initializer_list<Sha256*> digests) {
        while (count > 0) {
            const std::int64_t block = std::min<std::int64_t>(count, kInspectedCopyBlock);
            HashNext(stream, block, digests);
            progress_.Moved(Done(), ProgressSink::Mark::Block);
            count -= block;
        }
    }

    // Copies piece `number` out of the end of the file, flushes it and its
    // folder, then cuts its bytes off the file.
    void CutOff(std::uint64_t number) {
        const std::int64_t offset = OffsetOf(survey_, number);
        PieceBeingWritten piece(PieceName(survey_.piecesAt, number), progress_);
        file_->SetPosition(offset);
        Sha256 own;
        Copy(copier_, piece.Stream(), *file_, BytesOf(survey_, number),
             manifest_ ? DigestInto(own) : InspectedCopier::Inspectors{});
        if (manifest_) {
            copier_.Wait();
            digests_[number - 1] = own.HexDigest();
        }
        piece.Stream().Flush();
        FlushFolderOf(piece.Stream().Name());
        if (kept_.size > offset) {
            file_->SetSize(offset);
            kept_ = file_->Facts();
        }
        piece.Keep();
        progress_.Moved(Done(), ProgressSink::Mark::Piece);
    }

    // Copies `bytes` from the position of `from`, which holds the file as this
    // run left it, into `piece` with `copier`, `inspectors` seeing the bytes,
    // and hands what is written to the disk as it goes.
    void Copy(CheckedCopier& copier, TFileStream& piece, THandleStream& from, std::int64_t bytes,
              const InspectedCopier::Inspectors& inspectors) {
        std::int64_t handedOver = 0;
        const BlockObserver afterBlock = [&] {
            const std::int64_t written = piece.Position();
            piece.BeginFlush(handedOver, written - handedOver);
            handedOver = written;
            progress_.Moved(Done() + written, ProgressSink::Mark::Block);
        };
        switch (copier.Copy(piece, from, kept_, bytes, inspectors, afterBlock)) {
            case CopyOutcome::Copied:
                return;
            case CopyOutcome::SourceChanged:
                throw EChangedDuringSplit(survey_.source);
            case CopyOutcome::TargetFull:
                throw ENoRoomToWrite(piece.Name());
        }
    }

    // The manifest, then the file, which holds the first piece's bytes, renamed
    // to the first piece on its own disk; on another disk (or where the
    // rename fails), copied there and deleted.
    void Finish() {
        if (manifest_) {
            WriteManifest(survey_.piecesAt, {digests_, whole_});
            progress_.FileCreated(ManifestPath(survey_.piecesAt));
        }
        const std::string first = PieceName(survey_.piecesAt, 1);
        file_.reset();  // Windows renames no open file
        if (survey_.piecesBesideFile) {
            progress_.Moved(survey_.length, ProgressSink::Mark::Piece);
            if (RenameFile(survey_.source, first)) {
                FlushFoldersOf(first, survey_.source);
                progress_.FileCreated(first);
                return;
            }
        }
        {
            TFileStream input(survey_.source, OpenMode::Read);
            PieceBeingWritten piece(first, progress_);
            CheckedCopier plain;
            Copy(plain, piece.Stream(), input, kept_.size, {});
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
    }

    const InPlaceSplitSurvey& survey_;
    ProgressSink& progress_;
    std::unique_ptr<TFileStream> file_;
    FileFacts kept_;  // the file as this run last left it
    // With a manifest: each piece's digest, and the whole file's.
    bool manifest_;
    std::vector<std::string> digests_;
    std::string whole_;
    // Declared last, to end first: its lanes use the digests until then.
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
    survey.file = RegularFileFacts(source);
    if (!survey.file) {
        // Finished: the file renamed to the first piece, the set whole.
        if (found.empty() || TakeCutPieces(survey, found, 1)) {
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
        RefuseOtherSizeThatFits(survey, found, file);
        throw ENotInPlacePiece(*misfit, source);
    }
    RequireRoomForPieces(survey);
    return survey;
}

void SplitInPlace(const InPlaceSplitSurvey& survey, ProgressSink& progress, bool manifest) {
    if (survey.Finished()) {
        ConfirmFinished(survey, progress, manifest);
        return;
    }
    Cutter(survey, progress, manifest).Run();
}

}  // namespace morcelix
