// Engine set-up and tear-down, and the command line with the logs it asks for.
#include "engine/host/engine_setup.h"

#include "engine/host/fs_modules.h"

#include "engine/core/cmdline.h"
#include "engine/core/codepage.h"
#include "engine/core/errtext.h"
#include "engine/core/globals_mgr.h"
#include "engine/core/kwerror.h"
#include "engine/core/kwmemory.h"
#include "engine/core/msgformat.h"
#include "engine/core/msgres.h"
#include "engine/core/progress.h"
#include "engine/core/runenv.h"
#include "engine/core/workdir.h"
#include "kwstring.h"

PROGRESS_INFO* gProgressInfo = nullptr;
Progress* gRootProgress = nullptr;
GLOBALS_MANAGER* gGlobalsManager = nullptr;

namespace {

EN_SERVICE_HOOKS gHooks;
bool gSetUp = false;
std::uint32_t gInitialFlags = 0;

// Error manager limits of set-up: no class counted, no count limit.
constexpr std::uint32_t kNoThreshold = 0xFFFFFFFFu;
constexpr std::uint32_t kNoCountLimit = 0xFFFFFFFFu;

template <class T> kwRet Made(T* object) {
    return object != nullptr ? KW_OK : ERR_NO_MEMORY;
}
template <class T> void Destroy(T*& global) {
    delete global;
    global = nullptr;
}

// One global object of set-up: how it is made and destroyed.
struct SetupStep {
    kwRet (*create)();
    void (*destroy)();
};

kwRet HookOrOk(kwRet (*fn)()) {
    return fn != nullptr ? fn() : KW_OK;
}
void HookCall(void (*fn)()) {
    if (fn != nullptr)
        fn();
}

const SetupStep kSteps[] = {
    {[] { return Made(gDbgMgr = new DbgMgr); }, [] { Destroy(gDbgMgr); }},
    {[] {
         gMessageFormatter = new MESSAGE_FORMATTER;
         return gMessageFormatter != nullptr && gMessageFormatter->IsValid() ? KW_OK
                                                                             : ERR_NO_MEMORY;
     },
     [] { Destroy(gMessageFormatter); }},
    {[] {
         gProgressInfo = new PROGRESS_INFO;
         if (gProgressInfo != nullptr)
             PROGRESS_INFO::MakeCurrent(gProgressInfo);
         return Made(gProgressInfo);
     },
     [] { Destroy(gProgressInfo); }},
    {[] { return Made(gRootProgress = new Progress); }, [] { Destroy(gRootProgress); }},
    {[] { return Made(gCommandLine = new COMMAND_LINE); }, [] { Destroy(gCommandLine); }},
    {[] { return HookOrOk(gHooks.createRebootManager); },
     [] { HookCall(gHooks.destroyRebootManager); }},
    {[] { return HookOrOk(gHooks.createPrefs); }, [] { HookCall(gHooks.destroyPrefs); }},
    {[] {
         return Made(gErrorMgr = new KWERRORMGR(KWERRMGR_MAX_ERRORS, kNoThreshold, kNoCountLimit));
     },
     [] { Destroy(gErrorMgr); }},
    {[] { return Made(gGlobalsManager = new GLOBALS_MANAGER(gInitialFlags)); },
     [] { Destroy(gGlobalsManager); }},
};
constexpr std::size_t kStepCount = sizeof kSteps / sizeof kSteps[0];

// Destroys the objects of the first `made` steps, last first.
void RollBack(std::size_t made) {
    while (made > 0)
        kSteps[--made].destroy();
}

void FreeTexts() {
    cpFreeTables();
    Destroy(gCodePageInfo);
}

bool LoadTexts(const void* resource, std::uint32_t size, std::uint32_t hostKind) {
    if (resource == nullptr || size == 0)
        return false;
    if (!cpLoadResourceFile(resource, size, hostKind, 0))
        return false;
    return cpLoadMessages(static_cast<const std::uint8_t*>(resource), size, false);
}

} // namespace

void enSetServiceHooks(const EN_SERVICE_HOOKS& hooks) {
    gHooks = hooks;
}

const EN_SERVICE_HOOKS& enServiceHooks() {
    return gHooks;
}

bool enLibraryIsSetUp() {
    return gSetUp;
}

kwRet enInitLibrary(const void* resource, std::uint32_t size, std::uint32_t hostKind,
                    std::uint32_t runEnvironment, std::uint32_t globalFlags) {
    if (gSetUp)
        return KW_OK;
    kwSetRunEnvironment(runEnvironment);
    gInitialFlags = globalFlags;
    std::size_t made = 0;
    for (; made < kStepCount; ++made) {
        if (kSteps[made].create() != KW_OK) {
            RollBack(made + 1);
            return ERR_NO_MEMORY;
        }
    }
    if (!LoadTexts(resource, size, hostKind)) {
        FreeTexts();
        RollBack(made);
        return ERR_ENGINE_INIT;
    }
    cpSetRunEnvironment(runEnvironment);
    KWString::SetDefaultKind(CPKIND_UTF8);
    enInstallFsModules();
    gSetUp = true;
    return KW_OK;
}

kwRet enTermLibrary() {
    if (!gSetUp)
        return KW_OK;
    RollBack(kStepCount);
    FreeTexts();
    gSetUp = false;
    return KW_OK;
}

DBG_OPTIONS DbgOptionsFromSwitches(const COMMAND_LINE& commandLine) {
    DBG_OPTIONS options;
    std::uint32_t number = 0;
    if (commandLine.GetNumber(SW_LVL, &number) == KW_OK) {
        options.levelGiven = true;
        options.level = number;
    }
    options.noDebugFile = commandLine.IsSet(SW_NDBG);
    commandLine.GetValue(SW_DBG, &options.debugPath);
    options.scriptLog = commandLine.IsSet(SW_LOG) || commandLine.IsSet(SW_CMD);
    if (commandLine.IsSet(SW_LOG))
        commandLine.GetValue(SW_LOG, &options.scriptPath);
    if (commandLine.GetNumber(SW_DCS, &number) == KW_OK)
        options.cacheSize = number;
    return options;
}

namespace {

std::string TakeText(char* text) {
    std::string out = text != nullptr ? text : "";
    kwFreeMemory(&text);
    return out;
}

// "Cannot open the log file <path>: <text of the code>", or the code's text
// alone when no path is known.
std::string LogFailureText(kwRet code, const std::string& path) {
    std::string text = kwGetErrorTextA(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (path.empty())
        return text;
    return "Cannot open the log file " + path + ": " + text;
}

} // namespace

EN_COMMAND_LINE_RESULT enProcessCommandLine(int argc, const char* const* argv) {
    EN_COMMAND_LINE_RESULT result;
    if (gCommandLine == nullptr) {
        result.logResult = ERR_NOT_OPEN;
        return result;
    }
    result.text = TakeText(gCommandLine->Parse(argc, argv, &result.parseCode));
    if (result.parseCode == CL_RESULT_USAGE)
        return result;
    enSetWorkingDirectory(nullptr);
    DBG_OPTIONS options = DbgOptionsFromSwitches(*gCommandLine);
    if (gDbgMgr != nullptr && !options.noDebugFile) {
        result.logResult = gDbgMgr->Init(options);
        if (result.logResult != KW_OK && result.text.empty())
            result.text = LogFailureText(result.logResult, gDbgMgr->FailedPath());
    }
    gCommandLine->LogArguments();
    return result;
}
