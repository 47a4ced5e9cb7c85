// Engine set-up and tear-down: the engine's global objects, its texts, and the
// processing of the program's command line, which opens the logs.
#pragma once

#include "engine/core/dbgmgr.h"
#include "engine/core/kwret.h"

#include <cstdint>
#include <string>

class COMMAND_LINE;
class PROGRESS_INFO;
class Progress;

// Engine set-up: creates the global objects in this order: debug manager,
// message formatter, progress sink and root progress, switch set, reboot
// manager and preferences (through the service hooks), error manager and the
// global flag word; then loads the code-page sections and the message table
// of the resource image and makes UTF-8 the string class's host text. 3 when
// an object cannot be made, 87 when the texts do not load; nothing is left
// set up then. The image must outlive the engine.
kwRet enInitLibrary(const void* resource, std::uint32_t size, std::uint32_t hostKind,
                    std::uint32_t runEnvironment, std::uint32_t globalFlags);
// Destroys what set-up made. 0.
kwRet enTermLibrary();
// True between a successful enInitLibrary and enTermLibrary.
bool enLibraryIsSetUp();

// The progress sink and the root progress level of the engine.
extern PROGRESS_INFO* gProgressInfo;
extern Progress* gRootProgress;

// What the engine needs of its reboot manager and preference record, which
// install these (each may be null: the step is skipped).
struct EN_SERVICE_HOOKS {
    kwRet (*createRebootManager)() = nullptr;
    void (*destroyRebootManager)() = nullptr;
    kwRet (*createPrefs)() = nullptr;
    void (*destroyPrefs)() = nullptr;
    kwRet (*loadPrefs)() = nullptr;  // at engine start
    kwRet (*applyPrefs)() = nullptr; // after the command line
    const char* (*rebootSummary)() = nullptr;
    bool (*hasRebootChanges)() = nullptr;
    bool (*isRebootNeeded)() = nullptr;
    // Asked to restart the machine: on this host it logs and returns.
    kwRet (*reboot)() = nullptr;
};
void enSetServiceHooks(const EN_SERVICE_HOOKS& hooks);
const EN_SERVICE_HOOKS& enServiceHooks();

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
