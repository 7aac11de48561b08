// The join's plan: what a join does once it holds the destination, decided
// before it changes anything. A fresh join starts from nothing, into a
// destination that is absent, this set's own join, or replaced with consent.
// A resumed join goes on where an earlier one stopped: after the bytes of the
// pieces gone, as the set's record tells; the pieces the destination already
// holds (an earlier join could not delete them) are deleted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/piece_set.h"

namespace morcelix {

// What a join needs the user's consent for, found before it begins: data that
// the window turns into its questions, and that the tool's --forcer consents
// to; without the consent, the join refuses.
struct JoinQuestions {
    // The set's last piece, as large as the others: the set may lack its end
    // (sets of other tools end so).
    std::optional<std::string> fullLastPiece;
    // Another file of the destination's name, which is not this set's join:
    // the join replaces it (when it ends; the other stays whole until then).
    std::optional<std::string> otherFile;
};

// The consents given, one for each question.
struct JoinConsents {
    bool fullLastPiece = false;
    bool otherFile = false;
};

// The questions of a join of `survey`'s set into `destination`. Reads the
// destination, when it stands, to tell this set's join from another file.
JoinQuestions QuestionsOf(const PieceSetSurvey& survey, const std::string& destination);

// Raises what `questions` ask for and `consents` do not give: EMissingEnd,
// then EDestinationExists.
void RequireConsents(const JoinQuestions& questions, const JoinConsents& consents,
                     const PieceSetSurvey& survey);

struct JoinPlan {
    // The bytes of the set that the destination keeps: appending starts there.
    std::int64_t start = 0;
    // Pieces whose bytes the destination holds already: deleted once it is flushed.
    std::vector<SurveyedPiece> held{};
    // The pieces appended from `start` on, in number order (the survey's),
    // the first of them numbered `firstNumber`.
    std::span<const SurveyedPiece> append;
    std::uint64_t firstNumber = 1;
    // The whole file's size, once they are.
    std::int64_t total = 0;
    // The size of every piece but the last.
    std::int64_t pieceSize = 0;
    // A fresh join into another file of the destination's name, with consent:
    // it goes into a file beside it, which takes its name at the end.
    bool replacesAnotherFile = false;
};

// Checks, before anything is created, that the destination's disk can take
// what the join adds to it: the whole file less what the destination holds
// already; beside the pieces, whose room the join frees as it goes (unless
// `keepPieces`), one piece at a time. Its file system must take the whole
// file. Raises ENoRoom or ETooLargeForDisk.
void RequireRoomForJoin(const PieceSetSurvey& survey, const std::string& destination,
                        bool keepPieces);

// Plans the join of `survey`'s set into `output`, the destination held by
// this join. Reads only; moves the destination's position. Raises
// EDestinationIsPiece when the destination is one of the pieces (a link),
// EDestinationExists for a fresh join into another file (unless
// `replaceOtherFile`: then the plan says it replaces it), and ENotInJoin when
// a resumed join's piece held is not the bytes the destination holds at its
// place.
JoinPlan PlanJoin(TFileStream& output, const PieceSetSurvey& survey,
                  const std::string& destination, bool replaceOtherFile);

}  // namespace morcelix
