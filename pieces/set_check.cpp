#include "pieces/set_check.h"

#include <algorithm>

#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

// A checksum file: a digest for each piece, or for the whole file, or both.
class SumsVerifier final : public SetVerifier {
  public:
    explicit SumsVerifier(const Manifest& sums) : sums_(sums) {
        if (!sums_.whole.empty()) {
            whole_.emplace(sums_.kind);
        }
    }

    const std::string& Path() const override { return sums_.path; }
    bool VouchesForPieces() const override { return sums_.VouchesForPieces(); }
    bool SizeFits(std::int64_t length) const override {
        return !sums_.size || *sums_.size == length;
    }
    InspectedCopier::Inspectors PieceLanes(std::uint64_t number, bool whole) override {
        std::vector<Digest*> into;
        if (VouchesForPieces()) {
            own_.emplace(sums_.kind);
            ownNumber_ = number;
            into.push_back(&*own_);
        }
        if (whole && whole_) {
            into.push_back(&*whole_);
            ++wholePieces_;
        }
        return Digests(into);
    }
    std::optional<bool> PieceIntact(std::uint64_t number) override {
        if (!own_ || ownNumber_ != number) {
            return std::nullopt;
        }
        const bool intact =
            number <= sums_.pieces.size() && own_->HexDigest() == sums_.pieces[number - 1];
        own_.reset();
        return intact;
    }
    std::optional<bool> WholeIntact() override {
        if (!whole_ || wholePieces_ == 0) {
            return std::nullopt;
        }
        const bool intact = whole_->HexDigest() == sums_.whole;
        whole_.reset();
        return intact;
    }

  private:
    const Manifest& sums_;
    std::optional<Digest> own_;
    std::uint64_t ownNumber_ = 0;
    std::optional<Digest> whole_;
    std::uint64_t wholePieces_ = 0;
};

}  // namespace

SetCheck::SetCheck(const PieceSetSurvey& survey) {
    if (survey.manifest) {
        verifiers_.push_back(std::make_unique<SumsVerifier>(*survey.manifest));
    }
}

SetCheck::~SetCheck() = default;

bool SetCheck::VouchesForPieces() const {
    return std::any_of(verifiers_.begin(), verifiers_.end(),
                       [](const auto& verifier) { return verifier->VouchesForPieces(); });
}

std::string SetCheck::Path() const {
    return verifiers_.empty() ? std::string() : verifiers_.front()->Path();
}

std::size_t SetCheck::Lanes() const {
    return verifiers_.size() * kDigestLanes;
}

bool SetCheck::SizeFits(std::int64_t length) const {
    return std::all_of(verifiers_.begin(), verifiers_.end(),
                       [&](const auto& verifier) { return verifier->SizeFits(length); });
}

InspectedCopier::Inspectors SetCheck::PieceLanes(std::uint64_t number, bool whole) {
    InspectedCopier::Inspectors lanes;
    for (const auto& verifier : verifiers_) {
        for (auto& lane : verifier->PieceLanes(number, whole)) {
            lanes.push_back(std::move(lane));
        }
    }
    return lanes;
}

std::optional<bool> SetCheck::PieceIntact(std::uint64_t number) {
    std::optional<bool> intact;
    for (const auto& verifier : verifiers_) {
        if (const std::optional<bool> said = verifier->PieceIntact(number)) {
            intact = intact.value_or(true) && *said;
        }
    }
    return intact;
}

SetCheck::Whole SetCheck::WholeVerdict(bool everyPieceFits) {
    Whole verdict = Whole::Unvouched;
    for (const auto& verifier : verifiers_) {
        const std::optional<bool> intact = verifier->WholeIntact();
        if (!intact) {
            continue;
        }
        if (!*intact) {
            return everyPieceFits && verifier->VouchesForPieces() ? Whole::Contradicted
                                                                  : Whole::Damaged;
        }
        verdict = Whole::Intact;
    }
    return verdict;
}

void RequireSetIntact(const PieceSetSurvey& survey, TStream* destination,
                      const std::string& destinationName, std::int64_t kept,
                      std::span<const SurveyedPiece> pieces, const BlockObserver& afterBlock) {
    SetCheck check(survey);
    const std::string& file = destinationName.empty() ? survey.base : destinationName;
    std::int64_t length = kept;
    for (const SurveyedPiece& piece : pieces) {
        length += piece.facts.size;
    }
    if (!check.SizeFits(length)) {
        throw EDamaged(file);
    }
    InspectedCopier copier(check.Lanes());
    // The pieces the destination keeps, each of the set's piece size.
    if (kept > 0) {
        destination->SetPosition(0);
        const std::int64_t pieceSize =
            check.VouchesForPieces() ? std::max<std::int64_t>(survey.pieceSize, 1) : kept;
        for (std::uint64_t number = 1; destination->Position() < kept; ++number) {
            copier.Read(*destination, std::min(pieceSize, kept - destination->Position()),
                        check.PieceLanes(number), afterBlock);
            copier.Wait();
            if (check.PieceIntact(number) == false) {
                throw EDamaged(file);
            }
        }
    }
    for (const SurveyedPiece& piece : pieces) {
        const std::unique_ptr<TFileStream> input = OpenUnchanged(survey, piece);
        copier.Read(*input, piece.facts.size, check.PieceLanes(piece.number), afterBlock);
        copier.Wait();
        if (check.PieceIntact(piece.number) == false) {
            throw EDamaged(survey.PathOf(piece));
        }
    }
    switch (check.WholeVerdict(/*everyPieceFits=*/true)) {
        case SetCheck::Whole::Contradicted:
            throw EBadManifest(check.Path());
        case SetCheck::Whole::Damaged:
            throw EDamaged(file);
        default:
            return;
    }
}

SetVerdict VerifySet(const PieceSetSurvey& survey, const std::string& destination) {
    SetVerdict verdict;
    SetCheck check(survey);
    verdict.vouchedBy = check.Path();
    verdict.vouchesForPieces = check.VouchesForPieces();
    if (check.Empty()) {
        for (const std::vector<SurveyedPiece>* pieces : {&survey.held, &survey.pieces}) {
            for (const SurveyedPiece& piece : *pieces) {
                verdict.standing.push_back({piece, std::nullopt});
            }
        }
        return verdict;
    }
    if (!check.VouchesForPieces()) {
        // The whole file's sum alone: the set read as a join reads it, when
        // it can be joined.
        for (const std::vector<SurveyedPiece>* pieces : {&survey.held, &survey.pieces}) {
            for (const SurveyedPiece& piece : *pieces) {
                verdict.standing.push_back({piece, std::nullopt});
            }
        }
        if (!survey.refusal) {
            std::optional<TFileStream> held;
            if (survey.joined > 0) {
                held.emplace(destination, OpenMode::Read);
            }
            try {
                RequireSetIntact(survey, held ? &*held : nullptr, destination, survey.joined,
                                 survey.pieces, {});
                verdict.whole = SetCheck::Whole::Intact;
            } catch (const EDamaged&) {
                verdict.whole = SetCheck::Whole::Damaged;
            }
        }
        return verdict;
    }
    // A sum for each piece: every piece that stands read from its own file,
    // and the whole file's sum with them when they are all the set's.
    InspectedCopier copier(check.Lanes());
    const bool whole = !survey.Resumes();
    bool everyPieceFits = true;
    for (const std::vector<SurveyedPiece>* pieces : {&survey.held, &survey.pieces}) {
        for (const SurveyedPiece& piece : *pieces) {
            TFileStream input(survey.PathOf(piece), OpenMode::Read);
            copier.Read(input, piece.facts.size, check.PieceLanes(piece.number, whole), {});
            copier.Wait();
            verdict.standing.push_back({piece, check.PieceIntact(piece.number)});
            everyPieceFits = everyPieceFits && verdict.standing.back().intact != false;
        }
    }
    if (whole && !survey.refusal) {
        verdict.whole = check.WholeVerdict(everyPieceFits);
        if (verdict.whole == SetCheck::Whole::Damaged) {
            verdict.whole = SetCheck::Whole::Unvouched;  // the damaged pieces say it
        }
    }
    return verdict;
}

}  // namespace morcelix
