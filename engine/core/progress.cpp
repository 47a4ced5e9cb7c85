#include "engine/core/progress.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/msgres.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace {

// Process-wide progress state.
struct ProgressGlobals {
    Progress* root = nullptr;
    Progress* last = nullptr;
    uint32_t levels = 0;
    PROGRESS_INFO* sink = nullptr;
    PROGRESS_CALLBACK uiCallback = nullptr;
    bool (*cancelPreference)() = nullptr;
    uint32_t lastCount = 0;
    uint32_t (*clock)() = nullptr;
    std::atomic<bool> cancelRequested{false};
};

ProgressGlobals& G() {
    static ProgressGlobals g;
    return g;
}

void Log(DEBUG_LEVEL level, const char* text) {
    if (gDbgMgr != nullptr)
        gDbgMgr->Print(level, "%s", text);
}

uint32_t NoCallback(uint32_t, uint8_t, uint32_t, uint32_t, uint32_t) {
    return 0;
}

// Passes the user interface's callback a cancel permission of 0 while the
// engine preference forbids user cancel.
uint32_t FilterCallback(uint32_t message, uint8_t cancelAllowed, uint32_t value, uint32_t textMask,
                        uint32_t valueMask) {
    ProgressGlobals& g = G();
    if (g.cancelPreference != nullptr && !g.cancelPreference())
        cancelAllowed = 0;
    PROGRESS_CALLBACK cb = g.uiCallback ? g.uiCallback : NoCallback;
    return cb(message, cancelAllowed, value, textMask, valueMask);
}

// A monotonic clock: a change of the wall clock neither stalls nor hurries
// the polls.
uint32_t Seconds() {
    if (G().clock != nullptr)
        return G().clock();
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
}

// Whether the user may cancel now: the level allows it and so does the
// engine preference.
bool UserMayCancel(bool levelAllows) {
    ProgressGlobals& g = G();
    return levelAllows && (g.cancelPreference == nullptr || g.cancelPreference());
}

char* CopyText(const char* text) {
    size_t n = std::strlen(text) + 1;
    char* copy = nullptr;
    if (n > UINT32_MAX || kwGetMemory(static_cast<uint32_t>(n), &copy) != KW_OK)
        return nullptr;
    std::memcpy(copy, text, n);
    return copy;
}

void FreeText(char** text) {
    if (*text != nullptr)
        kwFreeMemory(text);
}

// low + (high - low) x percent / 100 in 64 bits, held to 0..100.
uint32_t MapIntoRange(uint32_t low, uint32_t high, uint32_t percent) {
    if (percent > 100)
        percent = 100;
    uint64_t v = low + (uint64_t{high > low ? high - low : 0} * percent) / 100;
    return v > 100 ? 100 : static_cast<uint32_t>(v);
}

} // namespace

// ---- PROGRESS_INFO ----

PROGRESS_INFO::PROGRESS_INFO() : callback_(FilterCallback) {
    if (G().sink != nullptr) {
        saved_ = G().sink;
        G().sink = this;
    }
}

PROGRESS_INFO::~PROGRESS_INFO() {
    if (G().sink == this)
        G().sink = saved_;
    FreeText(&text_);
}

void PROGRESS_INFO::SetCallback(PROGRESS_CALLBACK callback) {
    G().uiCallback = callback;
    callback_ = FilterCallback;
}

PROGRESS_INFO* PROGRESS_INFO::Current() {
    return G().sink;
}

void PROGRESS_INFO::MakeCurrent(PROGRESS_INFO* sink) {
    G().sink = sink;
}

void PROGRESS_INFO::SetCancelPreference(bool (*allowed)()) {
    G().cancelPreference = allowed;
}

void PROGRESS_INFO::RequestCancel() {
    G().cancelRequested.store(true, std::memory_order_relaxed);
}

void PROGRESS_INFO::ClearCancelRequest() {
    G().cancelRequested.store(false, std::memory_order_relaxed);
}

bool PROGRESS_INFO::CancelRequested() {
    return G().cancelRequested.load(std::memory_order_relaxed);
}

uint32_t PROGRESS_INFO::Call(uint32_t message, uint8_t cancelAllowed, uint32_t value,
                             uint32_t textMask, uint32_t valueMask) {
    return callback_(message, cancelAllowed, value, textMask, valueMask);
}

uint32_t PROGRESS_INFO::SendChanged(uint8_t cancelAllowed, uint32_t count, uint32_t textMask,
                                    uint32_t valueMask) {
    if (levels_ == 0)
        return 0;
    if (count > levels_)
        count = levels_;
    if (cancelAllowed != lastCancel_) {
        lastCancel_ = cancelAllowed;
        return Call(PROGRESS_MSG_CHANGED, cancelAllowed, count, textMask, valueMask);
    }
    if (suppress_)
        return 0;
    if (count != G().lastCount) {
        G().lastCount = count;
        return Call(PROGRESS_MSG_CHANGED, cancelAllowed, count, textMask, valueMask);
    }
    uint32_t shown = levels_ >= 32 ? 0xFFFFFFFFu : (1u << levels_) - 1;
    if (((textMask | valueMask) & shown) != 0)
        return Call(PROGRESS_MSG_CHANGED, cancelAllowed, count, textMask, valueMask);
    return 0;
}

// ---- Progress ----

Progress::Progress() {
    ProgressGlobals& g = G();
    ++g.levels;
    if (g.root != nullptr) {
        Progress* parent = g.root;
        while (parent->child_ != nullptr)
            parent = parent->child_;
        parent_ = parent;
        parent->child_ = this;
        cancelAllowed_ = parent->cancelAllowed_;
        uint32_t span = parent->high_ > parent->low_ ? parent->high_ - parent->low_ : 0;
        step_ = span == 0 ? 100 : 100 / span;
    } else {
        g.root = this;
        cancelAllowed_ = true;
    }
    g.last = this;
    valueChanged_ = true;
    const char* caption =
        parent_ == g.root && parent_ != nullptr ? cpGetMessage(KW_MSG_ENTIRE_PROGRESS) : nullptr;
    if (caption != nullptr)
        SetText(caption);
    else
        Notify();
}

Progress::~Progress() {
    if (!detached_)
        Detach();
    FreeText(&text_);
}

// Takes this level out of the chain (with any child still open below it).
void Progress::Detach() {
    ProgressGlobals& g = G();
    if (parent_ != nullptr && percent_ < 100)
        Complete();
    if (child_ != nullptr) {
        Log(DBG_LEVEL_TRACE, "Progress Destructor - Error: Parent progress deleted before child\n");
        child_->Detach();
    }
    detached_ = true;
    if (g.levels > 0)
        --g.levels;
    if (parent_ == nullptr) {
        Log(DBG_LEVEL_TRACE, "Progress Destructor - Error: MainProgress being deleted\n");
        if (g.root == this)
            g.root = nullptr;
        if (g.last == this)
            g.last = nullptr;
        return;
    }
    Progress* parent = parent_;
    parent_ = nullptr;
    g.last = parent;
    parent->child_ = nullptr;
    parent->textChanged_ = true;
    if (parent == g.root)
        parent->percent_ = 0;
    parent->Notify();
}

void Progress::SetText(const char* text) {
    if (text == nullptr)
        return;
    if (text_ == nullptr)
        valueChanged_ = true;
    FreeText(&text_);
    text_ = CopyText(text);
    if (text_ == nullptr)
        return;
    textChanged_ = true;
    Notify();
}

void Progress::SetTextId(uint32_t messageId) {
    SetText(cpGetMessage(messageId));
}

void Progress::SetRange(uint32_t low, uint32_t high) {
    if (high > 100) {
        Log(DBG_LEVEL_TRACE, "Progress SetRange - The high range is more than 100\n");
        high = 100;
    }
    if (low > 100) {
        Log(DBG_LEVEL_TRACE, "Progress SetRange - The low range is more than 100\n");
        low = 100;
    }
    if (high < low) {
        Log(DBG_LEVEL_TRACE, "Progress SetRange - The high range is lower than the low range\n");
        high = low;
    }
    low_ = low;
    high_ = high;
}

void Progress::NextRange(uint32_t high) {
    // SetRange logs and clamps a high above 100.
    uint32_t low = high_ < 100 ? high_ : low_;
    SetRange(low, high); // a high below the new low is raised to it
}

void Progress::Propagate(uint32_t childPercent) {
    uint32_t v = MapIntoRange(low_, high_, childPercent);
    if (v <= percent_)
        return;
    percent_ = v;
    valueChanged_ = true;
    if (parent_ != nullptr && (percent_ - lastPropagated_ >= step_ || percent_ == 100)) {
        parent_->Propagate(percent_);
        lastPropagated_ = percent_;
    }
}

kwRet Progress::Update(uint32_t percent) {
    if (percent_ < 100) {
        uint32_t v = MapIntoRange(low_, high_, percent);
        if (v > percent_) {
            percent_ = v;
            if (parent_ != nullptr && percent_ - lastPropagated_ >= step_) {
                parent_->Propagate(percent_);
                lastPropagated_ = percent_;
            }
            valueChanged_ = true;
            Notify();
        }
    }
    return CheckForUserInput();
}

kwRet Progress::UpdateCount(uint64_t done, uint64_t total) {
    if (total == 0)
        return Update(percent_);
    uint64_t part = done < total ? done : total;
    // part x 100 cannot overflow: part is below 2^64 / 100 or split first.
    uint64_t pct = part > UINT64_MAX / 100 ? part / (total / 100) : part * 100 / total;
    return Update(static_cast<uint32_t>(pct > 100 ? 100 : pct));
}

kwRet Progress::Done() {
    if (child_ != nullptr && child_->percent_ < 100)
        Log(DBG_LEVEL_TRACE, "Progress Done - Parent completed before child\n");
    Complete();
    return CheckForUserInput();
}

void Progress::Complete() {
    percent_ = 100;
    if (parent_ != nullptr) {
        parent_->Propagate(100);
        lastPropagated_ = 100;
    }
    valueChanged_ = true;
    Notify();
}

kwRet Progress::DisallowCancel() {
    if (cancelAllowed_) {
        cancelAllowed_ = false;
        Notify();
    }
    return CheckForUserInput();
}

void Progress::TakeAnswer(uint32_t answer) {
    if (answer == PROGRESS_ANSWER_CANCEL && cancelAllowed_)
        cancelDetected_ = true;
    else if (answer == PROGRESS_ANSWER_SKIP && skipAllowed_)
        skipDetected_ = true;
}

kwRet Progress::CheckForUserInput() {
    if (cancelDetected_) {
        if (gDbgMgr != nullptr) {
            Progress* root = G().root;
            gDbgMgr->Print(DBG_LEVEL_RESULT,
                           "User Cancel detected.  Total Progress %lu%% complete.\n",
                           static_cast<unsigned long>(root ? root->percent_ : 0));
            gDbgMgr->Print(DBG_LEVEL_RESULT,
                           "To disallow user cancel, add command 'Set Allow User Cancel Off'.\n");
        }
        return ERR_USER_CANCEL;
    }
    if (skipDetected_) {
        Log(DBG_LEVEL_TRACE, "Progress CheckForUserInput - User Skip detected\n");
        return ERR_USER_SKIP;
    }
    // A requested cancel costs one load per call and no wait for a poll.
    if (PROGRESS_INFO::CancelRequested() && UserMayCancel(cancelAllowed_)) {
        cancelDetected_ = true;
        Log(DBG_LEVEL_TRACE, "Progress CheckForUserInput - User CANCEL detected\n");
        return ERR_USER_CANCEL;
    }
    uint32_t now = Seconds();
    if (now < lastPoll_)
        lastPoll_ = 0;
    if (now <= lastPoll_ + 1)
        return 0;
    PROGRESS_INFO* sink = PROGRESS_INFO::Current();
    uint32_t answer = sink ? sink->Call(PROGRESS_MSG_POLL, cancelAllowed_, 0, 0, 0) : 0;
    lastPoll_ = now;
    if (answer == PROGRESS_ANSWER_CANCEL && cancelAllowed_) {
        cancelDetected_ = true;
        Log(DBG_LEVEL_TRACE, "Progress CheckForUserInput - User CANCEL detected\n");
        return ERR_USER_CANCEL;
    }
    if (answer == PROGRESS_ANSWER_SKIP && skipAllowed_) {
        skipDetected_ = true;
        Log(DBG_LEVEL_TRACE, "Progress CheckForUserInput - User SKIP detected\n");
        return ERR_USER_SKIP;
    }
    return 0;
}

void Progress::SendValue(uint32_t value) {
    PROGRESS_INFO* sink = PROGRESS_INFO::Current();
    if (sink != nullptr)
        TakeAnswer(sink->Call(PROGRESS_MSG_VALUE, cancelAllowed_, value, 0, 0));
}

void Progress::Notify() {
    PROGRESS_INFO* sink = PROGRESS_INFO::Current();
    if (sink == nullptr)
        return;
    uint32_t count = 0, textMask = 0, valueMask = 0;
    uint32_t walked = 0;
    for (Progress* p = G().root; p != nullptr && walked < G().levels; p = p->child_, ++walked) {
        if (p->text_ != nullptr) {
            if (count < 32) {
                textMask |= p->textChanged_ ? 1u << count : 0;
                valueMask |= p->valueChanged_ ? 1u << count : 0;
            }
            ++count;
        }
        p->textChanged_ = p->valueChanged_ = false;
    }
    TakeAnswer(sink->SendChanged(cancelAllowed_, count, textMask, valueMask));
}

void Progress::SetClock(uint32_t (*seconds)()) {
    G().clock = seconds;
}

Progress* GetRootProgress() {
    return G().root;
}

uint32_t GetProgressPercent(uint32_t, uint32_t n) {
    uint32_t k = 0;
    for (Progress* p = G().root; p != nullptr; p = p->GetChild()) {
        if (p->GetText() != nullptr && k++ == n)
            return p->GetPosition();
    }
    return 0;
}
