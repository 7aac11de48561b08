#include "app/attached_actions.h"

#include <shellapi.h>

#include "app/info_dialog.h"
#include "app/message_box.h"
#include "pieces/utf16.h"

namespace morcelix {

namespace {

ControlId EditOf(Field field) {
    switch (field) {
        case Field::SplitFile:
            return ControlId::Edit1;
        case Field::PieceSize:
            return ControlId::Edit2;
        case Field::FirstPiece:
            return ControlId::Edit3;
        case Field::Destination:
            return ControlId::Edit4;
    }
    return ControlId::Edit1;
}

}  // namespace

AttachedActions::AttachedActions(TForm1& form) : form_(form), progress_(form.ProgressBar1()) {
    using enum ControlId;
    form_.SetActions(
        {
            {Button1, [this] { actions_.Button1Click(); }},
            {Button2, [this] { actions_.Button2Click(); }},
            {Button3, [this] { actions_.Button3Click(); }},
            {Button4, [this] { actions_.Button4Click(); }},
            {Label6, [this] { actions_.Label6Click(); }},
        },
        [this](const std::vector<std::string>& paths, DropTarget target) {
            actions_.FilesDropped(paths, target);
        });
}

AttachedActions::~AttachedActions() {
    form_.SetActions({}, {});
}

std::optional<std::string> AttachedActions::Browse(const std::string& filter) {
    ouvrir_.SetFilter(filter);
    return ouvrir_.Execute();
}

void AttachedActions::ShowInformation(const std::string& text) {
    DiscardInput();
    morcelix::ShowInformation(text);
}

std::string AttachedActions::FieldText(Field field) {
    return form_.FieldText(EditOf(field));
}

void AttachedActions::SetFieldText(Field field, const std::string& text) {
    form_.SetFieldText(EditOf(field), text);
}

void AttachedActions::FocusField(Field field) {
    form_.Focus(EditOf(field));
}

Answer AttachedActions::AskYesNo(const std::string& question, QuestionIcon icon, Answer byDefault) {
    DiscardInput();
    return morcelix::AskYesNo(question, icon, byDefault);
}

void AttachedActions::OpenWebPage(const std::string& address) {
    ShellExecuteW(form_.Handle(), L"open", Widen(address).c_str(), nullptr, nullptr,
                  SW_SHOWDEFAULT);
}

}  // namespace morcelix
