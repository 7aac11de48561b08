// The record that an operation which deletes what it has read keeps beside
// its pieces while it runs: a join that deletes its pieces, a split in place.
// It says what a later run needs to finish the work exactly (the piece size,
// the number of pieces, the whole size, where the bytes go), so that no
// decision of where to go on rests on the files' content, which any data can
// imitate (a file of zeros looks like any number of pieces of zeros).
//
// It stands at the set's piece number 0 (film.avi.000), a name as long as the
// first piece's, so it fits wherever the set fits, and it sorts with the set.
// It is plain UTF-8 text that says what it is:
//   Morcelix : regroupage en cours. Relancez-le pour le terminer.
//   operation=regroupage
//   destination=/home/anne/film.avi
//   travail=/home/anne/film.avi
//   parties=11
//   taille=1000000
//   total=10500000
//   controle=5D1B2A9C
// the last line the CRC-32 of the lines before it. It is written whole, and
// flushed with its folder, before the operation changes anything, and removed
// once nothing is left to finish.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "pieces/file_stream.h"

namespace morcelix {

// A join that deletes its pieces, from its first change to its last deletion.
struct JoinRecord {
    // The destination as an absolute path.
    std::string destination;
    // Where the bytes go until the join ends: the destination itself, or,
    // while it replaces another file of that name, a file beside it that
    // takes its name at the end (the other file stays whole until then).
    std::string working;
    std::uint64_t pieces = 0;    // the set's pieces
    std::int64_t pieceSize = 0;  // the size of every piece but the last
    std::int64_t total = 0;      // the whole file's size
    std::int64_t SizeOf(std::uint64_t number) const;
    bool operator==(const JoinRecord&) const = default;
};

// A split in place, from its first piece written to the file renamed.
struct InPlaceRecord {
    // The file split, as an absolute path.
    std::string file;
    std::int64_t pieceSize = 0;
    std::int64_t length = 0;  // the whole file's, before anything was cut off it
    std::uint64_t Pieces() const;
    bool operator==(const InPlaceRecord&) const = default;
};

// What stands at a set's record name.
struct RecordFound {
    enum class State {
        Absent,
        // This program's: `record` holds it.
        Valid,
        // Another file of that name, which is no record: never overwritten.
        Foreign,
    };
    State state = State::Absent;
    std::variant<std::monostate, JoinRecord, InPlaceRecord> record;

    const JoinRecord* Join() const { return std::get_if<JoinRecord>(&record); }
    const InPlaceRecord* InPlace() const { return std::get_if<InPlaceRecord>(&record); }
    bool operator==(const RecordFound&) const = default;
};

// Where the record of the set named `base` stands: base.000.
std::string RecordPath(const std::string& base);

// Whether `path` is named as a record: its extension is ".000".
bool IsRecordName(std::string_view path);

// Reads the record of the set named `base`. Raises nothing: a file that can
// not be read counts as foreign.
RecordFound ReadRecord(const std::string& base);

// Whether `a` and `b` name the same file: the same absolute path, or the same
// existing file under two names.
bool SamePlace(const std::string& a, const std::string& b);

// The record of one run, held open against any other run while it goes, and
// removed when the run says so. A record that the run wrote is removed again
// when the run ends before it began to change anything.
class HeldRecord {
  public:
    // Writes `record` for the set named `base` (replacing an earlier run's)
    // whole, flushed with its folder. Raises EFCreateError when another run
    // holds it, and the file layer's failures.
    HeldRecord(const std::string& base, const std::variant<JoinRecord, InPlaceRecord>& record);
    // Holds the record that stands already (a run resumed). Raises
    // EFCreateError when another run holds it.
    explicit HeldRecord(const std::string& base);
    ~HeldRecord();
    HeldRecord(const HeldRecord&) = delete;
    HeldRecord& operator=(const HeldRecord&) = delete;

    // The run has changed something: from now on, the record stays unless
    // removed.
    void Begin() { begun_ = true; }
    // Nothing is left to finish: the record goes.
    void Remove();
    // The run goes on with `record` instead, written whole as at the start.
    void Rewrite(const std::variant<JoinRecord, InPlaceRecord>& record);

  private:
    std::string path_;
    std::unique_ptr<TFileStream> file_;
    bool written_ = false;
    bool begun_ = false;
};

}  // namespace morcelix
