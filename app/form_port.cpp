#include "app/form_port.h"

#include <shellapi.h>

#include <exception>

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

// A failure ending an operation goes to the error box, whose own loop would
// take the input given during the operation (a key could close the box
// unread): that input is thrown away on the way out.
class InputDroppedOnFailure {
  public:
    InputDroppedOnFailure() : failures_(std::uncaught_exceptions()) {}
    ~InputDroppedOnFailure() {
        if (std::uncaught_exceptions() > failures_) {
            DiscardInput();
        }
    }
    InputDroppedOnFailure(const InputDroppedOnFailure&) = delete;
    InputDroppedOnFailure& operator=(const InputDroppedOnFailure&) = delete;

  private:
    int failures_;
};

}  // namespace

std::optional<std::string> FormPort::Browse(const std::string& filter) {
    ouvrir_.SetFilter(filter);
    return ouvrir_.Execute();
}

void FormPort::ShowInformation(const std::string& text) {
    DiscardInput();
    morcelix::ShowInformation(text);
}

std::string FormPort::FieldText(Field field) {
    return form_.FieldText(EditOf(field));
}

void FormPort::SetFieldText(Field field, const std::string& text) {
    form_.SetFieldText(EditOf(field), text);
}

void FormPort::FocusField(Field field) {
    form_.Focus(EditOf(field));
}

Answer FormPort::AskYesNo(const std::string& question, QuestionIcon icon, Answer byDefault) {
    DiscardInput();
    return morcelix::AskYesNo(question, icon, byDefault);
}

void FormPort::OpenWebPage(const std::string& address) {
    ShellExecuteW(form_.Handle(), L"open", Widen(address).c_str(), nullptr, nullptr,
                  SW_SHOWDEFAULT);
}

AttachedActions::AttachedActions(TForm1& form) : form_(form), port_(form) {
    form_.SetActions(this);
}

AttachedActions::~AttachedActions() {
    form_.SetActions(nullptr);
}

void AttachedActions::Button2Click() {
    InputDroppedOnFailure dropped;
    actions_.Button2Click();
}

void AttachedActions::Button4Click() {
    InputDroppedOnFailure dropped;
    actions_.Button4Click();
}

}  // namespace morcelix
