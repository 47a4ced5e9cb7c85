// How the support layer talks to the user: UIInterface (show a message, ask a
// question and get an answer code, show a notice), every call also written to
// the line logs, and the program's implementation over its GUI's message box.
// No GUI toolkit here: the program installs the dialog once its application
// exists; until then (and in programs without a GUI) questions are only logged
// and answered "none".
#pragma once

#include "engine/core/logging_file.h"
#include "kwstring.h"

#include <cstdint>
#include <string>

// Answer codes.
inline constexpr std::uint32_t UI_ANSWER_NO = 0;
inline constexpr std::uint32_t UI_ANSWER_CANCEL = 1;
inline constexpr std::uint32_t UI_ANSWER_ABORT = 2;
inline constexpr std::uint32_t UI_ANSWER_NONE = 3;
inline constexpr std::uint32_t UI_ANSWER_OK = 4;
inline constexpr std::uint32_t UI_ANSWER_NO_TO_ALL = 5;
inline constexpr std::uint32_t UI_ANSWER_ALL = 6;
inline constexpr std::uint32_t UI_ANSWER_RETRY = 7;
inline constexpr std::uint32_t UI_ANSWER_IGNORE = 8;
inline constexpr std::uint32_t UI_ANSWER_YES = 9;
inline constexpr std::uint32_t UI_ANSWER_YES_TO_ALL = 10;

// Button flags of a question. 0x1 alone is a box with one acknowledgement
// button; the others add buttons.
inline constexpr std::uint32_t UI_BUTTON_OK = 0x1;
inline constexpr std::uint32_t UI_BUTTON_CANCEL = 0x2;
inline constexpr std::uint32_t UI_BUTTON_YES_NO = 0x4;
inline constexpr std::uint32_t UI_BUTTON_RETRY = 0x8;
inline constexpr std::uint32_t UI_BUTTON_IGNORE = 0x10;
inline constexpr std::uint32_t UI_BUTTON_ALL = 0x40;
inline constexpr std::uint32_t UI_BUTTON_YES_TO_ALL = 0x80;
inline constexpr std::uint32_t UI_BUTTON_NO_TO_ALL = 0x100;
inline constexpr std::uint32_t UI_BUTTON_ABORT = 0x200;

// The modal result of the program's message dialog: the button pressed.
enum class UI_MODAL_RESULT : std::uint32_t {
    None,
    Ok,
    Cancel,
    Abort,
    Retry,
    Ignore,
    Yes,
    No,
    All,
    NoToAll,
    YesToAll,
};

// The support layer's user interface. The base only logs and shows nothing.
class UIInterface {
public:
    virtual void Reserved0() {}
    virtual void Reserved1() {}
    virtual void ShowMessage(KWString caption, KWString text, std::uint32_t kind);
    virtual std::uint32_t AskQuestion(KWString caption, KWString text, std::uint32_t kind,
                                      std::uint32_t defaultButton, std::uint32_t buttonFlags);
    virtual std::uint32_t ShowNotice(KWString caption, KWString text, std::uint32_t kind,
                                     std::uint32_t value1, std::uint32_t value2);

protected:
    ~UIInterface() = default;
};

// Shows the text as a modal message box of the dialog type (1 information,
// 2 confirmation, 3 warning, 4 error) with the buttons of the flags and
// returns the button pressed. Installed by the program's GUI.
using UI_DIALOG_FN = UI_MODAL_RESULT (*)(const std::string& text, std::uint32_t dialogType,
                                         std::uint32_t buttonFlags);
void kwSetQuestionDialog(UI_DIALOG_FN dialog);

// The program's implementation: messages and notices are logged, questions
// logged and asked through the installed dialog.
class BorlandInterface : public UIInterface {
public:
    std::uint32_t AskQuestion(KWString caption, KWString text, std::uint32_t kind,
                              std::uint32_t defaultButton, std::uint32_t buttonFlags) override;
    std::uint32_t ShowNotice(KWString caption, KWString text, std::uint32_t kind,
                             std::uint32_t value1, std::uint32_t value2) override;
};

// Kind 0 chosen from the buttons: information for a single acknowledgement
// button, confirmation otherwise.
std::uint32_t AutomaticKind(std::uint32_t buttonFlags);
std::uint32_t ModalResultToAnswer(UI_MODAL_RESULT result);

// The process-wide user interface (never null).
UIInterface* kwGetUIInterface();
// Replaces it (null restores the program's own); tests.
void kwSetUIInterface(UIInterface* ui);
// Routes the engine's error messages to the user interface as error
// questions with one acknowledgement button.
void kwInstallErrorMessageRoute();
