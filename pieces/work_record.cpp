#include "pieces/work_record.h"

#include <charconv>
#include <map>
#include <sstream>

#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

constexpr std::string_view kJoinHeading =
    "Morcelix : regroupage en cours. Relancez-le pour le terminer.";
constexpr std::string_view kInPlaceHeading =
    "Morcelix : découpage sur place en cours. Relancez-le pour le terminer.";

// A record file is a few hundred bytes; anything much larger is not one.
constexpr std::int64_t kLargestRecord = 64 << 10;

std::string Crc(std::string_view text) {
    Digest crc(DigestKind::Crc32);
    crc.Update(text.data(), text.size());
    return crc.HexDigest();
}

std::string TextOf(const std::variant<JoinRecord, InPlaceRecord>& record) {
    std::string text;
    const auto line = [&text](std::string_view key, const std::string& value) {
        text += std::string(key) + "=" + value + "\n";
    };
    if (const auto* join = std::get_if<JoinRecord>(&record)) {
        text = std::string(kJoinHeading) + "\n";
        line("operation", "regroupage");
        line("destination", join->destination);
        line("travail", join->working);
        line("parties", std::to_string(join->pieces));
        line("taille", std::to_string(join->pieceSize));
        line("total", std::to_string(join->total));
    } else {
        const auto& inPlace = std::get<InPlaceRecord>(record);
        text = std::string(kInPlaceHeading) + "\n";
        line("operation", "decoupage-sur-place");
        line("fichier", inPlace.file);
        line("taille", std::to_string(inPlace.pieceSize));
        line("longueur", std::to_string(inPlace.length));
    }
    line("controle", Crc(text));
    return text;
}

template <typename Number>
std::optional<Number> NumberIn(const std::map<std::string, std::string>& fields,
                               const std::string& key) {
    const auto field = fields.find(key);
    if (field == fields.end()) {
        return std::nullopt;
    }
    const std::string& digits = field->second;
    Number value{};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

// The record that `text` writes, when it is one whole, its sizes consistent.
std::optional<std::variant<JoinRecord, InPlaceRecord>> Parsed(const std::string& text) {
    const std::size_t check = text.rfind("controle=");
    if (check == std::string::npos || (check > 0 && text[check - 1] != '\n') ||
        text.substr(check) != "controle=" + Crc(text.substr(0, check)) + "\n") {
        return std::nullopt;
    }
    std::istringstream lines(text.substr(0, check));
    std::string heading;
    std::getline(lines, heading);
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            return std::nullopt;
        }
        fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    const auto size = NumberIn<std::int64_t>(fields, "taille");
    if (heading == kJoinHeading && fields["operation"] == "regroupage") {
        const auto pieces = NumberIn<std::uint64_t>(fields, "parties");
        const auto total = NumberIn<std::int64_t>(fields, "total");
        if (!size || !pieces || !total || *pieces == 0 || fields["destination"].empty() ||
            fields["travail"].empty()) {
            return std::nullopt;
        }
        JoinRecord join{fields["destination"], fields["travail"], *pieces, *size, *total};
        const std::int64_t last = join.SizeOf(join.pieces);
        if (last < 0 || last > join.pieceSize) {
            return std::nullopt;
        }
        return join;
    }
    if (heading == kInPlaceHeading && fields["operation"] == "decoupage-sur-place") {
        const auto length = NumberIn<std::int64_t>(fields, "longueur");
        if (!size || !length || *size < 1 || fields["fichier"].empty()) {
            return std::nullopt;
        }
        return InPlaceRecord{fields["fichier"], *size, *length};
    }
    return std::nullopt;
}

}  // namespace

std::int64_t JoinRecord::SizeOf(std::uint64_t number) const {
    return number < pieces ? pieceSize : total - static_cast<std::int64_t>(pieces - 1) * pieceSize;
}

std::uint64_t InPlaceRecord::Pieces() const {
    return static_cast<std::uint64_t>(length / pieceSize) + 1;
}

std::string RecordPath(const std::string& base) {
    return PieceName(base, 0);
}

bool IsRecordName(std::string_view path) {
    return Extension(path) == ".000";
}

RecordFound ReadRecord(const std::string& base) {
    const std::string path = RecordPath(base);
    const std::optional<FileFacts> facts = RegularFileFacts(path);
    RecordFound found;
    if (!facts) {
        found.state = EntryExists(path) ? RecordFound::State::Foreign : RecordFound::State::Absent;
        return found;
    }
    found.state = RecordFound::State::Foreign;
    if (facts->size > kLargestRecord) {
        return found;
    }
    std::string text(static_cast<std::size_t>(facts->size), '\0');
    try {
        TFileStream file(path, OpenMode::Read);
        file.ReadBuffer(text.data(), static_cast<std::int32_t>(text.size()));
    } catch (const Failure&) {
        return found;
    }
    if (auto record = Parsed(text)) {
        found.state = RecordFound::State::Valid;
        std::visit([&found](const auto& kind) { found.record = kind; }, *record);
    }
    return found;
}

bool SamePlace(const std::string& a, const std::string& b) {
    if (AbsolutePath(a) == AbsolutePath(b)) {
        return true;
    }
    const std::optional<FileFacts> first = RegularFileFacts(a);
    const std::optional<FileFacts> second = RegularFileFacts(b);
    return first && second && first->identity == second->identity;
}

HeldRecord::HeldRecord(const std::string& base,
                       const std::variant<JoinRecord, InPlaceRecord>& record)
    : path_(RecordPath(base)), written_(true) {
    if (EntryExists(path_) && !TFileStream::OpenIfAvailable(path_, OpenMode::Update)) {
        throw EFCreateError(path_);  // another run's, which holds it
    }
    ReplaceFileWith(path_, TextOf(record));
    file_ = std::make_unique<TFileStream>(path_, OpenMode::Update);
}

HeldRecord::HeldRecord(const std::string& base)
    : path_(RecordPath(base)), file_(std::make_unique<TFileStream>(path_, OpenMode::Update)) {}

HeldRecord::~HeldRecord() {
    if (file_ && written_ && !begun_) {
        file_->RemoveWhileOpen(path_);
    }
}

void HeldRecord::Rewrite(const std::variant<JoinRecord, InPlaceRecord>& record) {
    file_.reset();  // Windows renames nothing onto an open file
    ReplaceFileWith(path_, TextOf(record));
    file_ = std::make_unique<TFileStream>(path_, OpenMode::Update);
}

void HeldRecord::Remove() {
    file_->RemoveWhileOpen(path_);
    file_.reset();
}

}  // namespace morcelix
