// What vouches for a set's bytes, and the checks made with it. The set's
// checksum file gives verifiers (set_check.cpp), each seeing the set's bytes
// once, in order, piece after piece; every check goes through them: a join's
// before it touches anything, a join to a stream's as it goes, the verifier's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/file_stream.h"
#include "pieces/piece_set.h"

namespace morcelix {

// One thing that vouches for a set's bytes: a checksum file.
class SetVerifier {
  public:
    virtual ~SetVerifier() = default;
    // The file it reads, as messages name it.
    virtual const std::string& Path() const = 0;
    // Whether it vouches for each piece, or for the whole file only.
    virtual bool VouchesForPieces() const = 0;
    // Whether `length` bytes in all can be the whole file it vouches for,
    // known before anything is read.
    virtual bool SizeFits(std::int64_t length) const = 0;
    // The inspectors of piece `number`'s bytes, with those of the whole
    // file's when `whole`. Pieces come in number order, each once.
    virtual InspectedCopier::Inspectors PieceLanes(std::uint64_t number, bool whole) = 0;
    // Once the lanes are done with piece `number`: whether its bytes are what
    // it vouches for; nothing when it says nothing of pieces.
    virtual std::optional<bool> PieceIntact(std::uint64_t number) = 0;
    // Once the lanes are done with every piece's bytes, the whole file's
    // included: whether they are the file; nothing when it says nothing of it.
    virtual std::optional<bool> WholeIntact() = 0;
};

// The checks of a set through what vouches for it.
class SetCheck {
  public:
    // What the survey found beside the set: its checksum file.
    explicit SetCheck(const PieceSetSurvey& survey);
    ~SetCheck();
    SetCheck(const SetCheck&) = delete;
    SetCheck& operator=(const SetCheck&) = delete;

    bool Empty() const { return verifiers_.empty(); }
    // Whether it can tell a damaged piece as soon as it is read, or only the
    // whole file once read whole.
    bool VouchesForPieces() const;
    // The file that vouches, as messages name it ("" when nothing does).
    std::string Path() const;
    std::size_t Lanes() const;
    bool SizeFits(std::int64_t length) const;
    InspectedCopier::Inspectors PieceLanes(std::uint64_t number, bool whole = true);
    std::optional<bool> PieceIntact(std::uint64_t number);

    // The whole file, once every byte is seen: nothing vouches for it, it is
    // the file, it is not, or every piece fits its line but the whole does
    // not fit its own (`everyPieceFits`): the checksum file contradicts itself.
    enum class Whole { Unvouched, Intact, Damaged, Contradicted };
    Whole WholeVerdict(bool everyPieceFits);

  private:
    std::vector<std::unique_ptr<SetVerifier>> verifiers_;
};

// Reads the set's bytes as a join gives them, and checks them before the join
// touches anything: the first `kept` bytes of `destination` from its start
// (what a resumed join keeps of the set, whole pieces of the survey's size;
// null when `kept` is 0), then `pieces` in order, each checked unchanged since
// the survey (EChangedDuringJoin). The sizes are compared before anything is
// read. Raises EDamaged naming the first piece damaged (`destinationName` for
// those the destination holds), or the destination (the set's name when there
// is none) when the whole file is not the file; EBadManifest when the checksum
// file contradicts itself. `afterBlock` follows each block read, and may raise
// to stop. Raises the file layer's failures.
void RequireSetIntact(const PieceSetSurvey& survey, TStream* destination,
                      const std::string& destinationName, std::int64_t kept,
                      std::span<const SurveyedPiece> pieces, const BlockObserver& afterBlock);

// What the verifier says of a set: every piece that stands, each with its
// verdict, then the whole file's.
struct SetVerdict {
    struct Piece {
        SurveyedPiece piece;
        std::optional<bool> intact;  // nothing: nothing vouches for pieces
    };
    std::vector<Piece> standing;  // the pieces held, then those to append
    SetCheck::Whole whole = SetCheck::Whole::Unvouched;
    std::string vouchedBy;          // the file that vouches, "" when none
    bool vouchesForPieces = false;  // it says a word of each piece
};

// Reads the set of `survey` (made for `destination`) and says what its
// checksum file says of it: each piece that stands read from its file; the
// whole file's sum when the set can be joined, read as a join would read it
// (the bytes a resumed join's destination keeps, then the pieces left), or,
// for a sum of each piece, when every piece stands. Changes nothing.
SetVerdict VerifySet(const PieceSetSurvey& survey, const std::string& destination);

}  // namespace morcelix
