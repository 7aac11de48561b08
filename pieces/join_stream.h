// Joining into a stream (standard output, a pipe) instead of a file: the
// pieces are only read, and every one of them stays.
#pragma once

#include <string>

#include "pieces/file_stream.h"
#include "pieces/join_plan.h"
#include "pieces/progress.h"

namespace morcelix {

// Writes the set whose first piece is `firstPiece` to `output`, from its
// position, piece after piece. The set is surveyed first (SurveyPieceSet) and
// refused as a join refuses it, before anything is written; as there is no
// destination, a set whose first piece is gone (an interrupted join) is not
// found. With a manifest, each piece is checked once its bytes are written: a
// damaged one raises EDamaged, and no later piece is written. With a checksum
// file that vouches for the whole file only, the set is read once and checked
// before anything is written (EDamaged naming the set's file otherwise).
// Progress begins with the set's size; the bytes written go after every block,
// and with a piece mark after each piece.
//
// Raises the survey's refusals, EChangedDuringJoin for a piece gone or
// changed since the survey, EBadManifest when every piece matches the
// manifest but the whole does not, and the failures of the file layer (the
// output's: EWriteError) and of the progress sink.
// A set whose last piece is as large as the others is refused (EMissingEnd)
// unless `consents` accept it.
void JoinToStream(const std::string& firstPiece, TStream& output, ProgressSink& progress,
                  const JoinConsents& consents = {});

}  // namespace morcelix
