// The user interface of the support layer and the engine's UI bridge, with
// a scripted UIInterface and a scripted dialog.
#include "engine/core/ui_bridge.h"

#include "engine/core/codepage.h"
#include "engine/core/errtext.h"
#include "engine/core/inifile.h"
#include "engine/core/ui_interface.h"

#include "core_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

// Records what reaches it and answers from a script.
class ScriptedUI : public UIInterface {
public:
    struct Call {
        std::string what, caption, text;
        std::uint32_t kind = 0, defaultButton = 0, buttons = 0;
    };
    void ShowMessage(KWString caption, KWString text, std::uint32_t kind) override {
        calls.push_back({"message", caption.GetAnsi(CPKIND_UTF8), text.GetAnsi(CPKIND_UTF8), kind});
    }
    std::uint32_t AskQuestion(KWString caption, KWString text, std::uint32_t kind,
                              std::uint32_t defaultButton, std::uint32_t buttons) override {
        calls.push_back({"question", caption.GetAnsi(CPKIND_UTF8), text.GetAnsi(CPKIND_UTF8), kind,
                         defaultButton, buttons});
        return answer;
    }
    std::vector<Call> calls;
    std::uint32_t answer = 0;
};

class UiTest : public ::testing::Test {
protected:
    UiTest() {
        KWString::SetDefaultKind(CPKIND_UTF8);
        kwSetUIInterface(&ui_);
    }
    ~UiTest() override {
        kwSetUIInterface(nullptr);
        kwSetQuestionDialog(nullptr);
        KWString::SetDefaultKind(CPKIND_WIN);
    }
    ScriptedUI ui_;
    kwtest::EngineTexts texts_;
};

TEST_F(UiTest, MessageBoxFlagsAndAnswers) {
    UIBridgeThunk bridge;
    EXPECT_EQ(kwGetUIBridge(), &bridge);
    ui_.answer = 4;
    EXPECT_EQ(bridge.MessageBox("Go on?", 0x40000000 | 0x4 | 0x1 | 0x4000, "Title"), 5u);
    ASSERT_EQ(ui_.calls.size(), 1u);
    EXPECT_EQ(ui_.calls[0].what, "question");
    EXPECT_EQ(ui_.calls[0].caption, "Title");
    EXPECT_EQ(ui_.calls[0].kind, UI_KIND_CONFIRMATION);
    EXPECT_EQ(ui_.calls[0].buttons, 5u);
    EXPECT_EQ(ui_.calls[0].defaultButton, 3u);
    ui_.answer = 5;
    EXPECT_EQ(bridge.MessageBox("x", 0x80000000 | 0x40 | 0x8, "t"), 4u);
    EXPECT_EQ(ui_.calls[1].kind, UI_KIND_ERROR);
    EXPECT_EQ(ui_.calls[1].buttons, 0x200u | 0x8u);
    EXPECT_EQ(bridge.MessageBox("note", 0x10000000 | MB_ENGINE_NOTICE, "t"), 0u);
    EXPECT_EQ(ui_.calls[2].what, "message");
    EXPECT_EQ(ui_.calls[2].kind, UI_KIND_INFORMATION);

    const std::uint32_t answers[][2] = {
        {0, 0}, {1, BRIDGE_ANSWER_CANCEL}, {2, 2}, {3, 3}, {4, 5}, {5, 4},
        {6, 0}, {9, BRIDGE_ANSWER_YES},    {10, 0}};
    for (const auto& a : answers)
        EXPECT_EQ(BridgeAnswer(a[0]), a[1]) << a[0];
    const std::uint32_t defaults[][2] = {{0x1000 | 0x2000, 1}, {0x4000, 3}, {0x10000, 5},
                                         {0x8000, 4},          {0x2000, 2}, {0, 0}};
    for (const auto& d : defaults)
        EXPECT_EQ(BridgeDefaultButton(d[0]), d[1]) << std::hex << d[0];
    EXPECT_EQ(BridgeIconKind(0x30000000), UI_KIND_AUTO);
}

// A bridge that records the messages it shows and scripts its questions.
class RecordingBridge : public UIBRIDGE {
public:
    std::uint32_t ShowMessage(kwRet code, std::uint32_t flags, std::uint32_t argCount,
                              std::uintptr_t arg1, std::uintptr_t arg2) override {
        shown.push_back({code, flags, argCount, static_cast<std::uint32_t>(arg1),
                         static_cast<std::uint32_t>(arg2)});
        return 0;
    }
    std::uint32_t Reserved8(kwRet, std::uint32_t, std::uint32_t argCount, std::uintptr_t,
                            std::uintptr_t, const std::uint32_t* options, std::uint32_t count,
                            std::uint32_t*) override {
        askedArgs = argCount;
        optionCount = options != nullptr ? count : 0;
        return answer;
    }
    void Reserved9(std::uint32_t value) override { fixes.push_back(value); }
    std::vector<std::vector<std::uint32_t>> shown;
    std::vector<std::uint32_t> fixes;
    std::uint32_t answer = 0, askedArgs = 99, optionCount = 0;
};

// An error that asks a question and resolves as scripted.
class QuestionError : public KWERROR {
public:
    QuestionError(kwRet code, bool fixes)
        : KWERROR(code, 64, 1, 0, 0, KWLIST_UNLIMITED), fixes_(fixes) {
        const std::uint32_t d[2] = {11, 22};
        AddDetails(d, 2);
    }
    std::uint32_t ResolveError(std::uint32_t* out) override {
        if (out != nullptr)
            *out = 0;
        status_ = fixes_ ? 1 : 0;
        return fixes_ ? 0 : 1;
    }

private:
    bool fixes_;
};

TEST_F(UiTest, ErrorsShowTheirFirstTwoDetails) {
    RecordingBridge bridge;
    KWLOGERROR plain(1802, 96, 7, 8);
    plain.Details().Append(new KWLISTULONG(9)); // a third detail is not shown
    EXPECT_EQ(bridge.HandleError(ErrorToHandle(&plain)), 0u);
    ASSERT_EQ(bridge.shown.size(), 1u);
    EXPECT_EQ(bridge.shown[0], (std::vector<std::uint32_t>{1802, 96, 2, 7, 8}));
    KWLOGERROR none(50, 128);
    bridge.HandleError(ErrorToHandle(&none));
    EXPECT_EQ(bridge.shown[1], (std::vector<std::uint32_t>{50, 128, 0, 0, 0}));
}

TEST_F(UiTest, QuestionsOfFixableErrors) {
    RecordingBridge bridge;
    QuestionError declined(120, true);
    bridge.HandleError(ErrorToHandle(&declined)); // answer 0: declined
    EXPECT_TRUE(bridge.shown.empty());
    EXPECT_EQ(bridge.fixes, std::vector<std::uint32_t>{0});
    EXPECT_EQ(bridge.askedArgs, 2u);

    bridge.answer = 3;
    QuestionError fixed(120, true);
    bridge.HandleError(ErrorToHandle(&fixed));
    EXPECT_EQ(bridge.fixes.back(), 1u);
    EXPECT_TRUE(bridge.shown.empty());

    QuestionError crossLinked(ERR_CROSS_LINKED, false);
    bridge.HandleError(ErrorToHandle(&crossLinked));
    EXPECT_EQ(bridge.askedArgs, 0u); // the details became the options
    EXPECT_EQ(bridge.optionCount, 2u);
    ASSERT_EQ(bridge.shown.size(), 1u);
    EXPECT_EQ(bridge.shown[0], (std::vector<std::uint32_t>{ERR_CANNOT_FIX, 96, 1, 501, 0}));
}

UI_MODAL_RESULT gResult = UI_MODAL_RESULT::None;
std::uint32_t gDialogType = 0;
int gDialogs = 0;

UI_MODAL_RESULT Dialog(const std::string&, std::uint32_t type, std::uint32_t) {
    ++gDialogs;
    gDialogType = type;
    return gResult;
}

TEST_F(UiTest, ProgramInterfaceAsksThroughTheDialog) {
    kwSetUIInterface(nullptr);
    UIInterface* program = kwGetUIInterface();
    // Without a dialog (no application yet) questions are logged and answered "none".
    EXPECT_EQ(program->AskQuestion(KWString("c"), KWString("t"), 2, 0, 0x4), UI_ANSWER_NONE);
    kwSetQuestionDialog(Dialog);
    EXPECT_EQ(program->AskQuestion(KWString("c"), KWString(""), 2, 0, 0x4), UI_ANSWER_ABORT);
    EXPECT_EQ(gDialogs, 0);
    gResult = UI_MODAL_RESULT::No;
    EXPECT_EQ(program->AskQuestion(KWString("c"), KWString("t"), 0, 0, 0x1), UI_ANSWER_NO);
    EXPECT_EQ(gDialogType, UI_KIND_INFORMATION);
    gResult = UI_MODAL_RESULT::YesToAll;
    EXPECT_EQ(program->AskQuestion(KWString("c"), KWString("t"), 0, 0, 0x1 | 0x2),
              UI_ANSWER_YES_TO_ALL);
    EXPECT_EQ(gDialogType, UI_KIND_CONFIRMATION);
    EXPECT_EQ(program->ShowNotice(KWString("c"), KWString("t"), 1, 0, 0), UI_ANSWER_OK);
    EXPECT_EQ(gDialogs, 2);
}

TEST_F(UiTest, ErrorMessagesBecomeErrorQuestionsInBothLogs) {
    kwtest::TempDir dir;
    OpenLog(dir.Path() + "/log.txt", true);
    OpenErrorLog(dir.Path() + "/err.txt", true);
    kwSetUIInterface(nullptr);
    kwInstallErrorMessageRoute();
    kwSetQuestionDialog(Dialog);
    gResult = UI_MODAL_RESULT::Ok;
    EXPECT_EQ(kwShowErrorMessage(ERR_IMG_INVALID, 0, 0, 0, 0), KW_OK);
    EXPECT_EQ(gDialogType, UI_KIND_ERROR);
    CloseUserLogs();
    std::string log = kwtest::ReadFile(dir.Path() + "/log.txt");
    EXPECT_NE(log.find("Image file is invalid or corrupted."), std::string::npos) << log;
    EXPECT_EQ(log, kwtest::ReadFile(dir.Path() + "/err.txt"));
    kwSetErrorBoxHandler(nullptr);
}

TEST_F(UiTest, AsyncMouseMovementRegistersTheCallback) {
    kwtest::TempDir dir;
    SetFeatureProfilePath(dir.Path() + "/features.ini");
    {
        UIBridgeThunk quiet;
        EXPECT_FALSE(quiet.CallbackRegistered());
    }
    std::ofstream(dir.Path() + "/features.ini") << "[VTFeatures]\nAsyncMouseMovement=1\n";
    {
        UIBridgeThunk bridge;
        EXPECT_TRUE(bridge.CallbackRegistered());
    }
    EXPECT_NE(kwGetUIBridge(), nullptr); // the silent bridge after the last one went
    EXPECT_EQ(kwGetUIBridge()->MessageBox("x", MB_ENGINE_QUESTION | MB_ENGINE_BUTTONS_B, "y"),
              BRIDGE_ANSWER_NO); // without a user interface every question is answered No
    SetFeatureProfilePath("");
}

} // namespace
