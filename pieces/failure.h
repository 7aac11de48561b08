// Failures travel as exceptions carrying the French text that the user will read.
// Code between the raise and the top level only releases what it holds; the top
// level shows the message and the program goes on.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace morcelix {

// Every text the program can show, in one table (failure.cpp).
enum class Text {
    FileNotFound,   // information
    OperationDone,  // information
    NotAnInteger,   // %s: the size field's text
    NotAPieceSize,  // %s: the piece size in bytes, or the size field's text
    CannotOpen,     // %s: the file name
    CannotCreate,   // %s: the file name
    StreamRead,
    StreamWrite,
    ZeroDivide,
    InvalidOperation,
    Overflow,
    ClipboardOpen,
    NotFirstPiece,       // %s: the picked path
    MissingPiece,        // %s: the first missing piece's path
    WrongSize,           // %s: the first piece whose size does not fit the set
    ChangedDuringJoin,   // %s: the piece (or destination) that changed
    ChangedDuringSplit,  // %s: the source
    DestinationIsPiece,  // %s: the destination
    FolderRead,          // %s: the folder
    CannotCreateWindow,
    OutOfMemory,
    InternalError,  // any other unexpected failure
    SplitInterrupted,
    JoinInterrupted,          // the tool's: run the command again
    JoinInterruptedInWindow,  // the window's: press Regrouper again
    StreamJoinInterrupted,    // the tool's, joining to standard output: nothing to finish
    StopQuestion,             // asked before an operation is interrupted
    Damaged,                  // %s: the piece (or destination) whose content is not the manifest's
    BadManifest,              // %s: the manifest
    NotInManifest,            // %s: a piece beyond those the manifest names
    NotDeleted,               // %s: a piece joined that could not be deleted
    NoRoom,                   // %s: the file to write, the bytes it needs, the bytes left
    NoRoomToWrite,            // %s: the file being written when the disk filled
    TooLargeForDisk,          // %s: the file that the disk's file system can not hold
    DestinationExists,        // %s: a file that is not this set's join
    ReplaceQuestion,          // %s: the same, asked in the window
    FullLastPieceQuestion,    // %s: the set's last piece, as large as the others
    NotFirstPieceOf,          // %s: the picked path; %s: the set's first piece
    NamedFileNotFound,        // %s: the path given
    IsAFolder,                // %s: the path given
    StandardInputKept,        // %s: the last piece kept; %s: the pieces' bytes, "N octets"
    InPlaceSplitInterrupted,  // the tool's: run the command again
    InPlaceSplitUnfinished,   // %s: the file, which with its pieces still holds every byte
    LinkNotSplitInPlace,      // %s: the symbolic link given
    OtherNamesNotSplitInPlace,  // %s: the file that has other hard links
    NotInPlacePiece,            // %s: a piece of the name; %s: the file split in place
    InPlaceOtherSize,           // %s: the file; %s: the interrupted split's piece size in bytes
    InPlaceOtherSizeCopies,     // %s: the file; %s: the size of the pieces beside it, in bytes
    BadRecoveryFile,            // %s: the PAR2 index
    NotEnoughRecovery,          // %s: pieces missing or damaged; %s: how many the data can rebuild
    TooManyPiecesForRecovery,   // %s: the number of pieces
    TooManyRecoverySlices,      // %s: the number of recovery slices asked for
    RebuiltPieceDamaged,        // %s: the piece rebuilt
    NotInJoin,                  // %s: a file beside a set being joined; %s: the destination
    NotARegularFile,            // %s: a link, a FIFO, a device where a file is wanted
    InUse,                      // %s: a file another program (or another run) holds
    FolderMissing,              // %s: the folder of a file to create
    WriteErrorIn,               // %s: the file; %s: the cause, one of the four below
    ReadOnlyDisk,
    DiskError,
    FileTooLarge,
    WriteRefused,
    NotWhatWasWritten,  // %s: the destination, whose name leads elsewhere than to what was written
    InputClosed,
    InputIsAFolder,
    InputNotReadable,
    InputIsPiece,     // %s: the piece that standard input is
    NameNotInNotice,  // %s: a set's name that the notice's commands can not hold
};

// The UTF-8 text of `id`, with `arguments` put in place of its "%s", in order.
std::string FormatText(Text id, std::initializer_list<std::string_view> arguments);
inline std::string FormatText(Text id, std::string_view argument = {}) {
    return FormatText(id, {argument});
}

// A number of bytes as people read it: "512 o", "1,5 Mo", "2,15 Go" (decimal
// units, 1 Mo = 1,000,000 bytes, a decimal comma, one or two decimals).
std::string FormatBytes(std::int64_t bytes);

// The base of every failure: its message is the exact text shown to the user.
class Failure : public std::runtime_error {
  public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
    Failure(Text id, std::string_view argument) : std::runtime_error(FormatText(id, argument)) {}
    Failure(Text id, std::initializer_list<std::string_view> arguments)
        : std::runtime_error(FormatText(id, arguments)) {}
    const char* Message() const noexcept { return what(); }
};

#define MORCELIX_FAILURE(Name, TextId)                                               \
    class Name : public Failure {                                                    \
      public:                                                                        \
        explicit Name(std::string_view argument = {}) : Failure(TextId, argument) {} \
    }

MORCELIX_FAILURE(EFOpenError, Text::CannotOpen);
MORCELIX_FAILURE(EReadError, Text::StreamRead);
MORCELIX_FAILURE(EZeroDivide, Text::ZeroDivide);
MORCELIX_FAILURE(EInvalidOp, Text::InvalidOperation);
MORCELIX_FAILURE(EOverflow, Text::Overflow);
MORCELIX_FAILURE(EConvertError, Text::NotAnInteger);
MORCELIX_FAILURE(EPieceSizeError, Text::NotAPieceSize);
MORCELIX_FAILURE(EMissingPiece, Text::MissingPiece);
MORCELIX_FAILURE(EFileNotFound, Text::FileNotFound);
MORCELIX_FAILURE(EWrongSize, Text::WrongSize);
MORCELIX_FAILURE(EChangedDuringJoin, Text::ChangedDuringJoin);
MORCELIX_FAILURE(EChangedDuringSplit, Text::ChangedDuringSplit);
MORCELIX_FAILURE(EDestinationIsPiece, Text::DestinationIsPiece);
MORCELIX_FAILURE(EFolderReadError, Text::FolderRead);
MORCELIX_FAILURE(EDamaged, Text::Damaged);
MORCELIX_FAILURE(EBadManifest, Text::BadManifest);
MORCELIX_FAILURE(ENotInManifest, Text::NotInManifest);
MORCELIX_FAILURE(ETooLargeForDisk, Text::TooLargeForDisk);
MORCELIX_FAILURE(EDestinationExists, Text::DestinationExists);
MORCELIX_FAILURE(ENamedFileNotFound, Text::NamedFileNotFound);
MORCELIX_FAILURE(EIsAFolder, Text::IsAFolder);
MORCELIX_FAILURE(ELinkNotSplitInPlace, Text::LinkNotSplitInPlace);
MORCELIX_FAILURE(ENotARegularFile, Text::NotARegularFile);
MORCELIX_FAILURE(ENotWhatWasWritten, Text::NotWhatWasWritten);
MORCELIX_FAILURE(EInputClosed, Text::InputClosed);
MORCELIX_FAILURE(EInputIsAFolder, Text::InputIsAFolder);
MORCELIX_FAILURE(EInputNotReadable, Text::InputNotReadable);
MORCELIX_FAILURE(EInputIsPiece, Text::InputIsPiece);
MORCELIX_FAILURE(EOtherNamesNotSplitInPlace, Text::OtherNamesNotSplitInPlace);
MORCELIX_FAILURE(ENameNotInNotice, Text::NameNotInNotice);
MORCELIX_FAILURE(EBadRecoveryFile, Text::BadRecoveryFile);
MORCELIX_FAILURE(ERebuiltPieceDamaged, Text::RebuiltPieceDamaged);

#undef MORCELIX_FAILURE

// A file that can not be created or opened for writing; the named kinds say why.
class EFCreateError : public Failure {
  public:
    explicit EFCreateError(std::string_view file) : Failure(Text::CannotCreate, file) {}

  protected:
    EFCreateError(Text id, std::string_view argument) : Failure(id, argument) {}
};

// Another program (or another run of this one) holds the file.
class EInUse : public EFCreateError {
  public:
    explicit EInUse(std::string_view file) : EFCreateError(Text::InUse, file) {}
};

// The folder the file would go into does not exist (`folder` is named).
class EFolderMissing : public EFCreateError {
  public:
    explicit EFolderMissing(std::string_view folder) : EFCreateError(Text::FolderMissing, folder) {}
};

// A path that is not a set's first piece; with the first piece, when there is
// one, named as the one to give instead.
class ENotFirstPiece : public Failure {
  public:
    explicit ENotFirstPiece(std::string_view picked) : Failure(Text::NotFirstPiece, picked) {}
    ENotFirstPiece(std::string_view picked, std::string_view first)
        : Failure(Text::NotFirstPieceOf, {picked, first}) {}
};

// A write or flush that did not complete.
class EWriteError : public Failure {
  public:
    EWriteError() : Failure(Text::StreamWrite, {}) {}

  protected:
    EWriteError(Text id, std::string_view argument) : Failure(id, argument) {}
    EWriteError(Text id, std::initializer_list<std::string_view> arguments)
        : Failure(id, arguments) {}
};

// The same, when the disk is full: the message names the file being written.
class ENoRoomToWrite : public EWriteError {
  public:
    explicit ENoRoomToWrite(std::string_view file) : EWriteError(Text::NoRoomToWrite, file) {}
};

// The same, naming the file and why: `cause` is ReadOnlyDisk, DiskError,
// FileTooLarge or WriteRefused.
class EWriteErrorIn : public EWriteError {
  public:
    EWriteErrorIn(std::string_view file, Text cause)
        : EWriteError(Text::WriteErrorIn, {file, FormatText(cause)}) {}
};

// Not enough free space on the disk for what an operation would write: found
// before it writes anything.
class ENoRoom : public Failure {
  public:
    ENoRoom(std::string_view file, std::int64_t needed, std::int64_t left)
        : Failure(Text::NoRoom, {file, FormatBytes(needed), FormatBytes(left)}) {}
};

// A set of two pieces or more whose last piece found is as large as the
// others: a split always ends with a shorter one, so its end may be missing.
// Its message names the next piece, missing.
class EMissingEnd : public Failure {
  public:
    EMissingEnd(std::string lastPiece, std::string_view next)
        : Failure(Text::MissingPiece, next), lastPiece_(std::move(lastPiece)) {}
    const std::string& LastPiece() const { return lastPiece_; }

  private:
    std::string lastPiece_;
};

// A piece of the name beside a file split in place that its split did not
// write: another file, which the split would overwrite or leave in the set.
class ENotInPlacePiece : public Failure {
  public:
    ENotInPlacePiece(std::string_view piece, std::string_view file)
        : Failure(Text::NotInPlacePiece, {piece, file}) {}
};

// A file beside a set whose join is under way that the join did not leave
// there, or that changed since: one it would take into the set, or delete.
class ENotInJoin : public Failure {
  public:
    ENotInJoin(std::string_view file, std::string_view destination)
        : Failure(Text::NotInJoin, {file, destination}) {}
};

// A split in place resumed with another piece size than the one it began
// with, `cut` pieces off the file already; or, when nothing is cut, beside
// copies of the file's pieces of another size.
class EInPlaceOtherSize : public Failure {
  public:
    EInPlaceOtherSize(std::string_view file, std::int64_t pieceSize, bool cut)
        : Failure(cut ? Text::InPlaceOtherSize : Text::InPlaceOtherSizeCopies,
                  {file, std::to_string(pieceSize)}) {}
};

// More pieces missing or damaged (`needed`) than the recovery data can
// rebuild (`rebuildable` of them): found before anything is written.
class ENotEnoughRecovery : public Failure {
  public:
    ENotEnoughRecovery(std::int64_t needed, std::int64_t rebuildable)
        : Failure(Text::NotEnoughRecovery, {std::to_string(needed), std::to_string(rebuildable)}),
          needed_(needed),
          rebuildable_(rebuildable) {}
    std::int64_t Needed() const { return needed_; }
    std::int64_t Rebuildable() const { return rebuildable_; }

  private:
    std::int64_t needed_;
    std::int64_t rebuildable_;
};

// A set that the PAR2 2.0 format can not cover: more than 32,768 pieces, or
// more recovery slices than it numbers (65,535).
class ETooManyForRecovery : public Failure {
  public:
    ETooManyForRecovery(Text id, std::int64_t count) : Failure(id, std::to_string(count)) {}
};

// An operation stopped at the user's request (Ctrl+C in the tool, Échap or a
// close in the window), with the text that says what to do now (`id`:
// SplitInterrupted, InPlaceSplitInterrupted, JoinInterrupted,
// StreamJoinInterrupted or JoinInterruptedInWindow).
class EInterrupted : public Failure {
  public:
    explicit EInterrupted(Text id) : Failure(id, {}) {}
};

}  // namespace morcelix
