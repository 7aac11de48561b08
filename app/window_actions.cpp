#include "app/window_actions.h"

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "pieces/size_entry.h"
#include "pieces/split.h"

namespace morcelix {

void WindowActions::Button1Click() {
    window_.Progress().SetPosition(0);
    const auto chosen = window_.Browse("Tous les fichiers|*.*");
    if (!chosen) {
        return;
    }
    window_.SetFieldText(Field::SplitFile, "");
    state_.fileToSplit = *chosen;
    window_.SetFieldText(Field::SplitFile, state_.fileToSplit);
}

void WindowActions::Button2Click() {
    if (RefuseEmpty(Field::SplitFile)) {
        return;
    }
    if (!FileExists(state_.fileToSplit)) {
        window_.ShowInformation(FormatText(Text::FileNotFound));
        return;
    }
    // An empty size field is not read: the previous size stays (0 at first).
    if (const std::string entry = window_.FieldText(Field::PieceSize); !entry.empty()) {
        state_.pieceSize = PieceSizeFromEntry(entry);
    }
    Split(state_.fileToSplit, state_.pieceSize, window_.Progress());
    window_.ShowInformation(FormatText(Text::OperationDone));
}

void WindowActions::Button3Click() {
    window_.Progress().SetPosition(0);
    const auto chosen = window_.Browse("Fichiers Découper|*.001");
    if (!chosen) {
        return;
    }
    state_.firstPiece = *chosen;
    window_.SetFieldText(Field::FirstPiece, state_.firstPiece);
    state_.destination = JoinDestination(state_.firstPiece);
    window_.SetFieldText(Field::Destination, state_.destination);
}

void WindowActions::Button4Click() {
    if (RefuseEmpty(Field::FirstPiece)) {
        return;
    }
    // A first piece that is gone may belong to a join that stopped part-way:
    // joining again finishes it.
    if (!FileExists(state_.firstPiece) && !JoinCanResume(state_.firstPiece, state_.destination)) {
        window_.ShowInformation(FormatText(Text::FileNotFound));
        return;
    }
    Join(state_.firstPiece, state_.destination, window_.Progress());
    window_.ShowInformation(FormatText(Text::OperationDone));
}

void WindowActions::Label6Click() {
    window_.OpenWebPage(std::string("http://") + kWebHost);
}

bool WindowActions::RefuseEmpty(Field field) {
    if (!window_.FieldText(field).empty()) {
        return false;
    }
    window_.SetFieldText(field, "");
    window_.FocusField(field);
    return true;
}

}  // namespace morcelix
