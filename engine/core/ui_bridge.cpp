// UIBRIDGE and the program's bridge over UIInterface.
#include "engine/core/ui_bridge.h"

#include "engine/core/errtext.h"
#include "engine/core/inifile.h"
#include "engine/core/msgformat.h"
#include "engine/core/ui_interface.h"

#include <chrono>

namespace {

UIBRIDGE* gCurrent = nullptr;

std::uint32_t DetailCount(KWERROR* error) {
    return error->Details().GetCount();
}

} // namespace

UIBRIDGE::~UIBRIDGE() = default;

std::uint32_t UIBRIDGE::Message(kwRet code, std::uint32_t flags) {
    return ShowMessage(code, flags, 0, 0, 0);
}

std::uint32_t UIBRIDGE::Message(kwRet code, std::uint32_t flags, std::uintptr_t arg) {
    return ShowMessage(code, flags, 1, arg, 0);
}

std::uint32_t UIBRIDGE::Message(kwRet code, std::uint32_t flags, std::uintptr_t arg1,
                                std::uintptr_t arg2) {
    return ShowMessage(code, flags, 2, arg1, arg2);
}

std::uint32_t UIBRIDGE::MessageBox(const char*, std::uint32_t, const char*) {
    return BRIDGE_ANSWER_NO;
}

std::uint32_t UIBRIDGE::ShowMessage(kwRet, std::uint32_t, std::uint32_t, std::uintptr_t,
                                    std::uintptr_t) {
    return 0;
}

std::uint32_t UIBRIDGE::Reserved8(kwRet, std::uint32_t, std::uint32_t, std::uintptr_t,
                                  std::uintptr_t, const std::uint32_t*, std::uint32_t,
                                  std::uint32_t*) {
    return 0;
}

const char* UIBRIDGE::GetProductTitle() {
    return kwGetMessageText(MSG_PRODUCT_TITLE);
}

const char* UIBRIDGE::GetLauncherName() {
    return "KWLAUNCH.EXE";
}

const char* UIBRIDGE::GetBatchFileName() {
    return "KW_BATCH.KWB";
}

std::uint32_t UIBRIDGE::HandleError(KWERRORHANDLE handle) {
    KWERROR* error = HandleToError(handle);
    if (error == nullptr)
        return 0;
    std::uint32_t n = DetailCount(error);
    std::uint32_t argCount = n < 2 ? n : 2;
    std::uintptr_t arg1 = error->Detail(0), arg2 = error->Detail(1);
    if (error->Value() == 0) {
        ShowMessage(error->Code(), error->Class(), argCount, arg1, arg2);
        return 0;
    }
    // A question: for cross-linked files the details are the options.
    std::uint32_t options[64] = {};
    std::uint32_t optionCount = 0;
    if (error->Code() == ERR_CROSS_LINKED && n != 0) {
        optionCount = n < 64 ? n : 64;
        for (std::uint32_t i = 0; i < optionCount; ++i)
            options[i] = error->Detail(i);
        argCount = 0;
    }
    std::uint32_t chosen = 0;
    std::uint32_t answer = Reserved8(error->Code(), error->Class(), argCount, arg1, arg2,
                                     optionCount != 0 ? options : nullptr, optionCount, &chosen);
    if (answer == 0) {
        Reserved9(0);
        return 0;
    }
    *error->Answer() = answer;
    if (error->ResolveError(nullptr) == 0 && *error->Status() == 1) {
        Reserved9(1);
    } else {
        Reserved9(0);
        ShowMessage(ERR_CANNOT_FIX, UIB_ERROR_FLAGS, 1, error->Code(), 0);
    }
    return 0;
}

std::uint32_t BridgeIconKind(std::uint32_t flags) {
    switch (flags & 0xF0000000) {
    case MB_ENGINE_INFORMATION:
        return UI_KIND_INFORMATION;
    case MB_ENGINE_WARNING:
        return UI_KIND_WARNING;
    case MB_ENGINE_QUESTION:
        return UI_KIND_CONFIRMATION;
    case MB_ENGINE_ERROR:
        return UI_KIND_ERROR;
    default:
        return UI_KIND_AUTO;
    }
}

std::uint32_t BridgeButtons(std::uint32_t flags) {
    std::uint32_t set = 0;
    if ((flags & MB_ENGINE_BUTTONS_B) && (flags & MB_ENGINE_BUTTONS_A))
        set = 5;
    else if (flags & MB_ENGINE_BUTTONS_B)
        set = 4;
    else if (flags & MB_ENGINE_BUTTONS_A)
        set = 1;
    set |= flags & MB_ENGINE_PASSED_ON;
    if (flags & MB_ENGINE_EXTRA_BUTTON)
        set |= 0x200;
    return set;
}

std::uint32_t BridgeDefaultButton(std::uint32_t flags) {
    const std::uint32_t bits[] = {0x1000, 0x4000, 0x10000, 0x8000, 0x2000};
    const std::uint32_t buttons[] = {1, 3, 5, 4, 2};
    for (std::size_t i = 0; i < 5; ++i)
        if (flags & bits[i])
            return buttons[i];
    return 0;
}

std::uint32_t BridgeAnswer(std::uint32_t answer) {
    switch (answer) {
    case UI_ANSWER_CANCEL:
        return BRIDGE_ANSWER_CANCEL;
    case UI_ANSWER_ABORT:
    case UI_ANSWER_NONE:
        return answer;
    case 4:
        return 5;
    case 5:
        return 4;
    case UI_ANSWER_YES:
        return BRIDGE_ANSWER_YES;
    default:
        return BRIDGE_ANSWER_NO;
    }
}

UIBridgeThunk::UIBridgeThunk() {
    gCurrent = this;
    if (GetFeatureInt("VTFeatures", "AsyncMouseMovement", 0) != 0)
        registered_ = static_cast<std::uint32_t>(RegisterCallback(Tick, this));
}

UIBridgeThunk::~UIBridgeThunk() {
    if (registered_ != 0)
        UnregisterCallback(Tick, this);
    if (gCurrent == this)
        gCurrent = nullptr;
}

void UIBridgeThunk::Tick(void*) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    (void)std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

std::uint32_t UIBridgeThunk::MessageBox(const char* text, std::uint32_t flags,
                                        const char* caption) {
    KWString t(text != nullptr ? text : ""), c(caption != nullptr ? caption : "");
    UIInterface* ui = kwGetUIInterface();
    if (flags & MB_ENGINE_NOTICE) {
        ui->ShowMessage(c, t, BridgeIconKind(flags));
        return 0;
    }
    return BridgeAnswer(ui->AskQuestion(c, t, BridgeIconKind(flags), BridgeDefaultButton(flags),
                                        BridgeButtons(flags)));
}

void UIBridgeThunk::Reserved6() {
    kwGetUIInterface()->Reserved1();
}

std::uint32_t UIBridgeThunk::ShowMessage(kwRet code, std::uint32_t flags, std::uint32_t argCount,
                                         std::uintptr_t arg1, std::uintptr_t arg2) {
    std::uint32_t kind = argCount == 0   ? KW_ARG_NONE
                         : argCount == 1 ? KW_ARG_ONE_NUMBER
                                         : KW_ARG_TWO_NUMBERS;
    return kwShowErrorMessage(code, flags, kind, arg1, arg2);
}

UIBRIDGE* kwGetUIBridge() {
    static UIBRIDGE silent;
    return gCurrent != nullptr ? gCurrent : &silent;
}
