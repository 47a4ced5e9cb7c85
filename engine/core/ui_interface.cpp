// UIInterface and the program's implementation over an installed dialog.
#include "engine/core/ui_interface.h"

#include "engine/core/codepage.h"
#include "engine/core/errtext.h"

namespace {

UI_DIALOG_FN gDialog = nullptr;
UIInterface* gOverride = nullptr;

std::string Narrow(const KWString& s) {
    const char* t = s.GetAnsi(CPKIND_UTF8);
    return t != nullptr ? t : "";
}

} // namespace

void UIInterface::ShowMessage(KWString caption, KWString text, std::uint32_t kind) {
    LogUserMessage(caption, text, kind);
}

std::uint32_t UIInterface::AskQuestion(KWString caption, KWString text, std::uint32_t kind,
                                       std::uint32_t, std::uint32_t) {
    LogUserMessage(caption, text, kind);
    return UI_ANSWER_NO;
}

std::uint32_t UIInterface::ShowNotice(KWString caption, KWString text, std::uint32_t kind,
                                      std::uint32_t, std::uint32_t) {
    LogUserMessage(caption, text, kind);
    return UI_ANSWER_NO;
}

void kwSetQuestionDialog(UI_DIALOG_FN dialog) {
    gDialog = dialog;
}

std::uint32_t AutomaticKind(std::uint32_t buttonFlags) {
    constexpr std::uint32_t others = UI_BUTTON_CANCEL | UI_BUTTON_YES_NO | UI_BUTTON_RETRY |
                                     UI_BUTTON_IGNORE | UI_BUTTON_ALL | UI_BUTTON_YES_TO_ALL |
                                     UI_BUTTON_NO_TO_ALL;
    return (buttonFlags & UI_BUTTON_OK) != 0 && (buttonFlags & others) == 0 ? UI_KIND_INFORMATION
                                                                            : UI_KIND_CONFIRMATION;
}

std::uint32_t ModalResultToAnswer(UI_MODAL_RESULT result) {
    switch (result) {
    case UI_MODAL_RESULT::Cancel:
        return UI_ANSWER_CANCEL;
    case UI_MODAL_RESULT::Abort:
        return UI_ANSWER_ABORT;
    case UI_MODAL_RESULT::None:
        return UI_ANSWER_NONE;
    case UI_MODAL_RESULT::Ok:
        return UI_ANSWER_OK;
    case UI_MODAL_RESULT::NoToAll:
        return UI_ANSWER_NO_TO_ALL;
    case UI_MODAL_RESULT::All:
        return UI_ANSWER_ALL;
    case UI_MODAL_RESULT::Retry:
        return UI_ANSWER_RETRY;
    case UI_MODAL_RESULT::Ignore:
        return UI_ANSWER_IGNORE;
    case UI_MODAL_RESULT::Yes:
        return UI_ANSWER_YES;
    case UI_MODAL_RESULT::YesToAll:
        return UI_ANSWER_YES_TO_ALL;
    default:
        return UI_ANSWER_NO;
    }
}

std::uint32_t BorlandInterface::AskQuestion(KWString caption, KWString text, std::uint32_t kind,
                                            std::uint32_t defaultButton,
                                            std::uint32_t buttonFlags) {
    UIInterface::AskQuestion(caption, text, kind, defaultButton, buttonFlags);
    if (kind == UI_KIND_AUTO)
        kind = AutomaticKind(buttonFlags);
    if (text.Length() == 0)
        return UI_ANSWER_ABORT;
    if (gDialog == nullptr)
        return UI_ANSWER_NONE;
    return ModalResultToAnswer(gDialog(Narrow(text), kind, buttonFlags));
}

std::uint32_t BorlandInterface::ShowNotice(KWString caption, KWString text, std::uint32_t kind,
                                           std::uint32_t value1, std::uint32_t value2) {
    UIInterface::ShowNotice(caption, text, kind, value1, value2);
    return UI_ANSWER_OK;
}

UIInterface* kwGetUIInterface() {
    static BorlandInterface program;
    return gOverride != nullptr ? gOverride : &program;
}

void kwSetUIInterface(UIInterface* ui) {
    gOverride = ui;
}

void kwInstallErrorMessageRoute() {
    kwSetErrorBoxHandler([](const char* caption, const char* text) {
        kwGetUIInterface()->AskQuestion(KWString(caption != nullptr ? caption : ""),
                                        KWString(text != nullptr ? text : ""), UI_KIND_ERROR, 0,
                                        UI_BUTTON_OK);
    });
}
