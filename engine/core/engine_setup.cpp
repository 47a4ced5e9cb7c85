// Engine set-up: the command line and the logs it asks for.
#include "engine/core/engine_setup.h"

#include "engine/core/cmdline.h"
#include "engine/core/errtext.h"
#include "engine/core/kwmemory.h"
#include "engine/core/workdir.h"

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
