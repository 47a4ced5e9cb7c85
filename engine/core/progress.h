// Nested progress reporting. Each long operation creates a Progress level
// below the innermost open one; a level maps its own 0..100 into the share
// of its parent that the parent declared with SetRange or NextRange. Every
// change goes to the user interface's sink PROGRESS_INFO, which is also
// polled for cancel (7) or skip (12) at most about every two seconds. A
// cancel the user interface requests through PROGRESS_INFO::RequestCancel
// is heard at the very next progress call, from any thread, without a poll.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdint>

// Callback messages.
inline constexpr uint32_t PROGRESS_MSG_CHANGED = 1;
inline constexpr uint32_t PROGRESS_MSG_POLL = 4;
inline constexpr uint32_t PROGRESS_MSG_VALUE = 5;
// Callback answers.
inline constexpr uint32_t PROGRESS_ANSWER_CANCEL = 1;
inline constexpr uint32_t PROGRESS_ANSWER_SKIP = 2;

inline constexpr uint32_t KW_MSG_ENTIRE_PROGRESS = 424;

using PROGRESS_CALLBACK = uint32_t (*)(uint32_t message, uint8_t cancelAllowed, uint32_t value,
                                       uint32_t textMask, uint32_t valueMask);

// The user interface's progress sink: owns its callback and the number of
// levels it shows. The first sink is made current by its creator; a later
// one replaces it until it is destroyed.
class PROGRESS_INFO : public KwEngineAlloc {
public:
    PROGRESS_INFO();
    virtual ~PROGRESS_INFO();
    PROGRESS_INFO(const PROGRESS_INFO&) = delete;
    PROGRESS_INFO& operator=(const PROGRESS_INFO&) = delete;

    // Null installs the do-nothing callback.
    void SetCallback(PROGRESS_CALLBACK callback);
    void SetLevels(uint32_t levels) { levels_ = levels; }
    uint32_t GetLevels() const { return levels_; }
    void SetSuppress(bool on) { suppress_ = on; }

    // Message 1 after the filter rules; returns the callback's answer.
    uint32_t SendChanged(uint8_t cancelAllowed, uint32_t count, uint32_t textMask,
                         uint32_t valueMask);
    // Any message, straight to the callback.
    uint32_t Call(uint32_t message, uint8_t cancelAllowed, uint32_t value, uint32_t textMask,
                  uint32_t valueMask);

    static PROGRESS_INFO* Current();
    static void MakeCurrent(PROGRESS_INFO* sink);
    // Whether the user may cancel at all (the engine preference); without a
    // query cancel is allowed.
    static void SetCancelPreference(bool (*allowed)());
    // The user asked to cancel the running operation: its next progress
    // call where cancel is allowed returns 7. Safe from any thread; stays
    // set until cleared, which the user interface does when it starts or
    // ends an operation.
    static void RequestCancel();
    static void ClearCancelRequest();
    static bool CancelRequested();

private:
    PROGRESS_CALLBACK callback_;
    uint32_t levels_ = 0;
    bool suppress_ = false;
    uint8_t lastCancel_ = 1;
    char* text_ = nullptr;
    PROGRESS_INFO* saved_ = nullptr;
};

// One level of progress. Levels are created and destroyed in nested order;
// a level owns its caption text.
class Progress : public KwEngineAlloc {
public:
    Progress();
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void SetText(const char* text);
    void SetTextId(uint32_t messageId);
    void SetRange(uint32_t low, uint32_t high);
    void NextRange(uint32_t high);
    kwRet Update(uint32_t percent);
    kwRet UpdateCount(uint64_t done, uint64_t total);
    kwRet Done();
    void Complete();
    kwRet DisallowCancel();
    void AllowSkip(bool on) { skipAllowed_ = on; }
    kwRet CheckForUserInput();
    void SendValue(uint32_t value);

    uint32_t GetPosition() const { return percent_; }
    uint32_t GetLow() const { return low_; }
    uint32_t GetHigh() const { return high_; }
    const char* GetText() const { return text_; }
    Progress* GetParent() const { return parent_; }
    Progress* GetChild() const { return child_; }
    bool CancelAllowed() const { return cancelAllowed_; }

    // The clock behind the poll interval, in whole seconds (by default a
    // monotonic one; a value below the last one restarts the interval); for
    // tests.
    static void SetClock(uint32_t (*seconds)());

private:
    void Propagate(uint32_t childPercent);
    void Notify();
    void TakeAnswer(uint32_t answer);
    void Detach();

    Progress* parent_ = nullptr;
    Progress* child_ = nullptr;
    uint32_t percent_ = 0;
    uint32_t low_ = 0;
    uint32_t high_ = 100;
    char* text_ = nullptr;
    bool cancelAllowed_ = false;
    bool skipAllowed_ = false;
    bool cancelDetected_ = false;
    bool skipDetected_ = false;
    bool textChanged_ = false;
    bool valueChanged_ = false;
    bool detached_ = false;
    uint32_t lastPropagated_ = 0;
    uint32_t step_ = 100;
    uint32_t lastPoll_ = 0;
};

Progress* GetRootProgress();
// Percent of the n-th level (from the root) that has a text; 0 when none.
uint32_t GetProgressPercent(uint32_t unused, uint32_t n);
