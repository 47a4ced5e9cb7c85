// The engine's callback interface to its host's user interface: messages by
// code, error presentation with the questions of fixable errors, and message
// boxes, all through the one current bridge. The base bridge is silent;
// UIBridgeThunk, the program's bridge, sends messages and boxes to the
// current UIInterface.
#pragma once

#include "engine/core/kwerror.h"
#include "engine/core/kwret.h"

#include <cstdint>

// Message-box flags as the engine passes them.
inline constexpr std::uint32_t MB_ENGINE_INFORMATION = 0x10000000;
inline constexpr std::uint32_t MB_ENGINE_WARNING = 0x20000000;
inline constexpr std::uint32_t MB_ENGINE_QUESTION = 0x40000000;
inline constexpr std::uint32_t MB_ENGINE_ERROR = 0x80000000;
inline constexpr std::uint32_t MB_ENGINE_NOTICE = 0x4000000; // no answer
inline constexpr std::uint32_t MB_ENGINE_BUTTONS_A = 0x1;
inline constexpr std::uint32_t MB_ENGINE_BUTTONS_B = 0x4;
inline constexpr std::uint32_t MB_ENGINE_PASSED_ON = 0x10 | 0x8 | 0x2;
inline constexpr std::uint32_t MB_ENGINE_EXTRA_BUTTON = 0x40;

// The engine's answer codes from a message box. Cancel, abort and "closed
// without a button" keep UIInterface's 1, 2 and 3; OK and "no to all" arrive
// as 5 and 4. Yes has a code of its own, so that consent can be told from
// No: No, and every answer the engine has no code for, is 0, which is also
// what a bridge without a user interface answers to every question.
inline constexpr std::uint32_t BRIDGE_ANSWER_NO = 0;
inline constexpr std::uint32_t BRIDGE_ANSWER_CANCEL = 1;
inline constexpr std::uint32_t BRIDGE_ANSWER_YES = 9;

// Flags of a message shown for a failure.
inline constexpr std::uint32_t UIB_ERROR_FLAGS = 96;
inline constexpr std::uint32_t MSG_PRODUCT_TITLE = 558;

// The host's user interface as the engine sees it. This base is silent: it
// shows nothing and answers every question No, so that nothing which needs
// the user's consent happens while no user interface is attached.
class UIBRIDGE {
public:
    virtual ~UIBRIDGE();
    virtual std::uint32_t Message(kwRet code, std::uint32_t flags);
    virtual std::uint32_t Message(kwRet code, std::uint32_t flags, std::uintptr_t arg);
    virtual std::uint32_t Message(kwRet code, std::uint32_t flags, std::uintptr_t arg1,
                                  std::uintptr_t arg2);
    // Shows the error behind the handle or asks its question; always 0.
    virtual std::uint32_t HandleError(KWERRORHANDLE handle);
    // Shows the text or asks it as a question; the engine's answer code.
    virtual std::uint32_t MessageBox(const char* text, std::uint32_t flags, const char* caption);
    virtual void Reserved6() {}
    virtual std::uint32_t ShowMessage(kwRet code, std::uint32_t flags, std::uint32_t argCount,
                                      std::uintptr_t arg1, std::uintptr_t arg2);
    // Asks the question of a fixable error; the answer code (0: declined).
    virtual std::uint32_t Reserved8(kwRet code, std::uint32_t flags, std::uint32_t argCount,
                                    std::uintptr_t arg1, std::uintptr_t arg2,
                                    const std::uint32_t* options, std::uint32_t optionCount,
                                    std::uint32_t* chosen);
    virtual void Reserved9(std::uint32_t value) { (void)value; }
    virtual const char* GetProductTitle();
    virtual const char* GetLauncherName();
    virtual const char* GetBatchFileName();
};

// The program's bridge: the current bridge from construction to destruction.
class UIBridgeThunk : public UIBRIDGE {
public:
    UIBridgeThunk();
    ~UIBridgeThunk() override;
    UIBridgeThunk(const UIBridgeThunk&) = delete;
    UIBridgeThunk& operator=(const UIBridgeThunk&) = delete;

    std::uint32_t MessageBox(const char* text, std::uint32_t flags, const char* caption) override;
    void Reserved6() override;
    std::uint32_t ShowMessage(kwRet code, std::uint32_t flags, std::uint32_t argCount,
                              std::uintptr_t arg1, std::uintptr_t arg2) override;
    bool CallbackRegistered() const { return registered_ != 0; }

private:
    static void Tick(void* context);
    std::uint32_t registered_ = 0;
    std::uint32_t unused_ = 0;
};

// The current bridge, or a silent one when the program has none.
UIBRIDGE* kwGetUIBridge();

// UIInterface's icon kind, button set and default button of engine flags.
std::uint32_t BridgeIconKind(std::uint32_t flags);
std::uint32_t BridgeButtons(std::uint32_t flags);
std::uint32_t BridgeDefaultButton(std::uint32_t flags);
// UIInterface's answer as the engine's answer code.
std::uint32_t BridgeAnswer(std::uint32_t answer);
