// Engine set-up and tear-down: the engine's global objects, its texts, and the
// processing of the program's command line, which opens the logs.
#pragma once

#include "engine/core/dbgmgr.h"
#include "engine/core/kwret.h"

#include <cstdint>
#include <string>

class COMMAND_LINE;

// The log options that the switches of a parsed command line ask for: LVL,
// NDBG, DBG, LOG, CMD and DCS.
DBG_OPTIONS DbgOptionsFromSwitches(const COMMAND_LINE& commandLine);

// What processing the command line gave.
struct EN_COMMAND_LINE_RESULT {
    // 0, or the parser's result code (usage text 1, error 2).
    std::uint32_t parseCode = 0;
    // The usage text, the parser's first error, or the report of a log that
    // could not be opened; empty when all went well.
    std::string text;
    // The result of opening the logs (0 when they opened or none was asked for).
    kwRet logResult = KW_OK;
};

// Parses the program's arguments into the global switch set, sets the
// working directory to its default, opens the debug log and the result log
// as the switches ask and writes the command line to the debug log. A usage
// request opens no log. The vector is borrowed for the engine's lifetime.
EN_COMMAND_LINE_RESULT enProcessCommandLine(int argc, const char* const* argv);
