// The engine's levelled diagnostic log: the debug file KW_DEBUG.TXT, the
// result log SCRLOG.TXT (which also receives level-3 messages), entry and exit
// tracing, and the engine-wide printf DbgPrintf.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#define KW_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

using DEBUG_LEVEL = std::uint32_t;

// A message of level L is written when L <= the current level.
inline constexpr DEBUG_LEVEL DBG_LEVEL_OFF = 0;
inline constexpr DEBUG_LEVEL DBG_LEVEL_HEADER = 2; // after DbgMgr::Init
inline constexpr DEBUG_LEVEL DBG_LEVEL_RESULT = 3; // also goes to the result log
inline constexpr DEBUG_LEVEL DBG_LEVEL_TRACE = 4;  // DbgPrintf, entry and exit lines
inline constexpr DEBUG_LEVEL DBG_LEVEL_DETAIL = 5; // after engine start
inline constexpr DEBUG_LEVEL DBG_LEVEL_MAX = 7;

// DEBUG_FILE open flags.
inline constexpr std::uint32_t DF_CLOSE_PLAIN = 0x04;
inline constexpr std::uint32_t DF_NEW_FILE = 0x08;
inline constexpr std::uint32_t DF_APPEND = 0x10;
inline constexpr std::uint32_t DF_PREPEND_BOOT_INI = 0x08000000;
inline constexpr std::uint32_t DF_PREPEND_CONFIG_SYS = 0x10000000;
inline constexpr std::uint32_t DF_PREPEND_AUTOEXEC = 0x20000000;
inline constexpr std::uint32_t DF_PREPEND_WIN_INI = 0x40000000;
inline constexpr std::uint32_t DF_PREPEND_SYSTEM_INI = 0x80000000;

// Trace options of DbgMgr.
inline constexpr std::uint32_t DBG_TRACE_EXIT = 0x2;
inline constexpr std::uint32_t DBG_TRACE_TIME = 0x4;
inline constexpr std::uint32_t DBG_TRACE_SOURCE = 0x8;

// What the log is asked for. Engine set-up fills it from the command-line
// switches; the log itself never reads them.
struct DBG_OPTIONS {
    bool levelGiven = false; // LVL
    DEBUG_LEVEL level = DBG_LEVEL_HEADER;
    bool noDebugFile = false; // NDBG
    // DBG's value: an engine path ("C:\x\dbg.txt"), a host path ("/tmp/dbg.txt")
    // or a name in the current directory; empty for KW_DEBUG.TXT in the
    // working directory.
    std::string debugPath;
    bool scriptLog = false; // LOG or CMD
    // LOG's value, in the same forms; empty for SCRLOG.TXT in the working directory.
    std::string scriptPath;
    std::uint32_t cacheSize = 0; // write buffer of each file (DCS); 0 for 1 MB
};

// One output file of the log: owns the open host file, indents lines and
// turns bare line feeds into CR LF.
class DEBUG_FILE : public KwEngineAlloc {
public:
    DEBUG_FILE() = default;
    ~DEBUG_FILE();
    DEBUG_FILE(const DEBUG_FILE&) = delete;
    DEBUG_FILE& operator=(const DEBUG_FILE&) = delete;

    // name: an engine path (drive form), a host path (leading "/") or a name
    // relative to the current directory. 301 when it cannot be opened.
    kwRet Open(const char* name, std::uint32_t flags);
    void Close();
    kwRet Printf(const char* format, ...) KW_PRINTF_LIKE(2, 3);
    kwRet WriteLine(const char* text);
    void WritePrologue();

    // Write buffer in bytes, taken at the next Open; 0 for 1 MB.
    void SetCacheSize(std::uint32_t bytes) { cacheSize_ = bytes; }
    // Each line reaches the file at once (a file that another writer shares).
    void SetFlushEachLine(bool on) { flushEachLine_ = on; }
    void SetIndentStep(std::int32_t step) { step_ = step; }
    void Indent() { indent_ += step_; }
    void Unindent();
    std::int32_t GetIndent() const { return indent_; }
    void SetFlags(std::uint32_t flags) { flags_ |= flags; }
    bool TestFlags(std::uint32_t flags) const { return (flags_ & flags) != 0; }
    std::uint32_t GetFlags() const { return flags_; }
    bool IsOpen() const { return file_ != nullptr; }
    // The host path of the open file.
    const std::string& HostPath() const { return hostPath_; }

private:
    kwRet BuildPathAndOpen(const char* name);
    bool PrependFile(const char* enginePath, const char* banner);

    std::FILE* file_ = nullptr;
    std::string hostPath_;
    std::int32_t step_ = 1;
    std::int32_t indent_ = 0;
    std::uint32_t flags_ = 0;
    std::uint32_t cacheSize_ = 0;
    bool flushEachLine_ = false;
};

// The global debug manager: owns the debug file and the result log, the
// current level, the trace options and the call nesting.
class DbgMgr : public KwEngineAlloc {
public:
    static constexpr std::uint32_t kMaxDepth = 100;

    DbgMgr();
    ~DbgMgr();
    DbgMgr(const DbgMgr&) = delete;
    DbgMgr& operator=(const DbgMgr&) = delete;

    // Sets the level and opens the files the options ask for. A file that
    // cannot be opened is the result, and FailedPath names it.
    kwRet Init(const DBG_OPTIONS& options);
    void Uninit();
    DEBUG_LEVEL SetLevel(DEBUG_LEVEL level);
    DEBUG_LEVEL GetLevel() const { return level_; }

    void Print(DEBUG_LEVEL level, const char* format, ...) KW_PRINTF_LIKE(3, 4);
    void VPrint(bool appendLineFeed, DEBUG_LEVEL level, const char* format, va_list args);
    void PrintFlagged(DEBUG_LEVEL level, const char* format, ...) KW_PRINTF_LIKE(3, 4);

    void Enter(const char* function, std::uint32_t kind, std::uint32_t traceId,
               const char* sourcePath, int line, bool timed);
    void Exit(const char* function, kwRet returnValue);

    kwRet OpenDebugFile();
    kwRet OpenScriptLog();
    // The path that the last failed open of Init tried (empty when none).
    const std::string& FailedPath() const { return failedPath_; }

    std::uint32_t GetTraceOptions() const { return traceOptions_; }
    void SetTraceOptions(std::uint32_t options) { traceOptions_ = options; }
    std::uint32_t GetDepth() const { return depth_; }
    DEBUG_FILE* DebugFile() const { return debugFile_; }
    DEBUG_FILE* ScriptLog() const { return scriptLog_; }

    // Logging is enabled once the debug file is open, until Uninit.
    static bool Enabled();

private:
    void WriteSliced(DEBUG_LEVEL level, const char* text);
    void WriteDateLine(DEBUG_FILE* file);

    kwRet OpenLogFile(const std::string& path, std::uint32_t flags, DEBUG_FILE** out);

    DBG_OPTIONS options_;
    std::string failedPath_;
    DEBUG_LEVEL level_ = 0;
    DEBUG_FILE* debugFile_ = nullptr;
    DEBUG_FILE* scriptLog_ = nullptr;
    std::uint32_t traceOptions_ = 15;
    std::uint32_t depth_ = 0;
    std::int64_t entryTimes_[kMaxDepth + 1] = {};
};

// The global instance, created at engine set-up (null before).
extern DbgMgr* gDbgMgr;

// The engine-wide printf: level 4 with a final line feed, written when the
// current level is 5 or more.
void DbgPrintf(const char* format, ...) KW_PRINTF_LIKE(1, 2);

// Entry and exit tracing of one call: Enter at construction, Exit with the
// value given to Return (or 0) at destruction.
class DbgTrace {
public:
    DbgTrace(const char* function, const char* sourcePath, int line, std::uint32_t traceId = 0,
             bool timed = true);
    ~DbgTrace();
    DbgTrace(const DbgTrace&) = delete;
    DbgTrace& operator=(const DbgTrace&) = delete;
    kwRet Return(kwRet rc) {
        result_ = rc;
        return rc;
    }

private:
    const char* function_;
    kwRet result_ = KW_OK;
};

#define KW_TRACE(var, name) DbgTrace var((name), __FILE__, __LINE__)

// Where copies of log lines go besides the files: standard error when the
// environment variable KW_DEBUG_STDERR is set to a non-empty value other than 0.
bool DbgMirrorToStderr();
