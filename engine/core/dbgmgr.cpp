// DbgMgr and DEBUG_FILE: level filtering, line slicing, entry/exit tracing and
// the files of the log.
#include "engine/core/dbgmgr.h"

#include "engine/core/runenv.h"
#include "engine/core/workdir.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

DbgMgr* gDbgMgr = nullptr;

namespace {

bool gLoggingEnabled = false;

constexpr std::size_t kSliceLimit = 120;
constexpr std::size_t kSliceLength = 119;
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kDefaultCache = 0x100000;

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

std::int64_t NowSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

bool NtBootRun() {
    return kwGetRunEnvironment() == 1;
}

} // namespace

bool DbgMirrorToStderr() {
    const char* v = std::getenv("KW_DEBUG_STDERR");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

// ---------------------------------------------------------------- DEBUG_FILE

DEBUG_FILE::~DEBUG_FILE() {
    Close();
}

kwRet DEBUG_FILE::Open(const char* name, std::uint32_t flags) {
    flags_ |= flags;
    if ((flags_ & (DF_NEW_FILE | DF_APPEND)) == 0)
        return ERR_BAD_ARGUMENT;
    return BuildPathAndOpen(name);
}

kwRet DEBUG_FILE::BuildPathAndOpen(const char* name) {
    if (name == nullptr)
        return KW_OK;
    std::string host;
    if (name[0] == '/') {
        // A host path, taken as it is.
        host = name;
        if (kwHostToEnginePath(host).size() > kMaxPath)
            return ERR_FILE_OPEN;
    } else if (std::strlen(name) >= 2 && name[1] == ':') {
        if (std::strlen(name) > kMaxPath || !kwEngineToHostPath(name, &host))
            return ERR_FILE_OPEN;
    } else {
        std::vector<char> cwd(4096);
        if (getcwd(cwd.data(), cwd.size()) == nullptr)
            return ERR_FILE_OPEN;
        host = std::string(cwd.data()) + "/" + name;
        if (kwHostToEnginePath(host).size() > kMaxPath)
            return ERR_FILE_OPEN;
    }
    Close();
    hostPath_ = host; // named in the report when the open fails
    // Every write goes to the end of the file, so that a line log the program
    // keeps on the same file (switch LOG) is never overwritten.
    int mode = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | ((flags_ & DF_APPEND) ? 0 : O_TRUNC);
    int fd = open(host.c_str(), mode, 0666);
    if (fd < 0)
        return ERR_FILE_OPEN;
    file_ = fdopen(fd, "a");
    if (file_ == nullptr) {
        close(fd);
        return ERR_FILE_OPEN;
    }
    std::setvbuf(file_, nullptr, _IOFBF, cacheSize_ != 0 ? cacheSize_ : kDefaultCache);
    return KW_OK;
}

void DEBUG_FILE::Close() {
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
}

void DEBUG_FILE::Unindent() {
    if (indent_ != 0)
        indent_ -= step_;
}

kwRet DEBUG_FILE::Printf(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return WriteLine(buffer);
}

kwRet DEBUG_FILE::WriteLine(const char* text) {
    if (text == nullptr || *text == '\0')
        return KW_OK;
    if (DbgMirrorToStderr())
        std::fputs(text, stderr);
    if (file_ == nullptr)
        return ERR_NOT_OPEN;
    std::string out;
    out.reserve(std::strlen(text) * 2 + 16);
    bool indented = false;
    char prev = '\0';
    for (const char* p = text; *p != '\0'; ++p) {
        if (!indented && *p != '\r' && *p != '\n') {
            out.append(indent_ > 0 ? static_cast<std::size_t>(indent_) : 0, ' ');
            indented = true;
        }
        if (*p == '\n' && prev != '\r')
            out.push_back('\r');
        out.push_back(*p);
        prev = *p;
    }
    if (std::fwrite(out.data(), 1, out.size(), file_) != out.size())
        return ERR_FILE_WRITE;
    if (flushEachLine_ && std::fflush(file_) != 0)
        return ERR_FILE_WRITE;
    return KW_OK;
}

bool DEBUG_FILE::PrependFile(const char* enginePath, const char* banner) {
    std::string host;
    if (!kwEngineToHostPath(enginePath, &host))
        return false;
    std::FILE* in = std::fopen(host.c_str(), "rbe");
    if (in == nullptr)
        return false;
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        text.append(chunk, n);
    bool failed = std::ferror(in) != 0;
    std::fclose(in);
    while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr)
        text.pop_back();
    if (failed || text.empty())
        return false;
    WriteLine(banner);
    WriteLine(text.c_str());
    return true;
}

void DEBUG_FILE::WritePrologue() {
    struct Prepend {
        std::uint32_t flag;
        const char* path;
        const char* banner;
    };
    static const Prepend kFiles[] = {
        {DF_PREPEND_BOOT_INI, "C:\\BOOT.INI",
         "\n\n*****************************  BOOT.INI  *****************************\n\n"},
        {DF_PREPEND_CONFIG_SYS, "C:\\CONFIG.SYS",
         "\n\n****************************  CONFIG.SYS  ****************************\n\n"},
        {DF_PREPEND_AUTOEXEC, "C:\\AUTOEXEC.BAT",
         "\n\n***************************  AUTOEXEC.BAT  ***************************\n\n"},
    };
    // WIN.INI and SYSTEM.INI live in a Windows directory, which this host has not.
    bool any = false;
    for (const Prepend& f : kFiles)
        if (TestFlags(f.flag) && PrependFile(f.path, f.banner))
            any = true;
    if (any)
        WriteLine("\n\n****************************  END PREPEND  ***************************\n\n");
}

// ---------------------------------------------------------------- DbgMgr

DbgMgr::DbgMgr() = default;

DbgMgr::~DbgMgr() {
    gLoggingEnabled = false;
    delete debugFile_;
    delete scriptLog_;
}

bool DbgMgr::Enabled() {
    return gLoggingEnabled;
}

kwRet DbgMgr::Init(const DBG_OPTIONS& options) {
    options_ = options;
    failedPath_.clear();
    level_ = options.levelGiven ? options.level : DBG_LEVEL_HEADER;
    if (!options.noDebugFile) {
        kwRet rc = OpenDebugFile();
        if (rc != KW_OK)
            return rc;
    }
    return OpenScriptLog();
}

void DbgMgr::Uninit() {
    Print(5, "DbgMgr->Uninit\n");
    gLoggingEnabled = false;
    delete debugFile_;
    debugFile_ = nullptr;
    delete scriptLog_;
    scriptLog_ = nullptr;
    level_ = 0;
}

DEBUG_LEVEL DbgMgr::SetLevel(DEBUG_LEVEL level) {
    DEBUG_LEVEL old = level_;
    level_ = level;
    return old;
}

void DbgMgr::WriteDateLine(DEBUG_FILE* file) {
    std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&now, &tmNow);
    file->Printf("Date Generated: %02d/%02d/%02d %02d:%02d:%02d\r\n\r\n", tmNow.tm_mon + 1,
                 tmNow.tm_mday, tmNow.tm_year + 1900, tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
}

kwRet DbgMgr::OpenLogFile(const std::string& path, std::uint32_t flags, DEBUG_FILE** out) {
    *out = nullptr;
    auto* file = new DEBUG_FILE;
    if (file == nullptr)
        return ERR_NO_MEMORY;
    file->SetCacheSize(options_.cacheSize);
    kwRet rc = file->Open(path.c_str(), flags);
    if (rc != KW_OK) {
        failedPath_ = file->HostPath().empty() ? path : file->HostPath();
        delete file;
        return rc;
    }
    *out = file;
    return KW_OK;
}

kwRet DbgMgr::OpenDebugFile() {
    std::string path = options_.debugPath;
    if (path.empty()) {
        kwRet rc = enGetWorkingDirectory(&path);
        if (rc != KW_OK)
            return rc;
        if (path[0] == 'A' || path[0] == 'a')
            return KW_OK;
        path += "KW_DEBUG.TXT";
    }
    std::uint32_t flags = DF_PREPEND_BOOT_INI | DF_PREPEND_CONFIG_SYS | DF_PREPEND_AUTOEXEC;
    flags |= NtBootRun() ? DF_APPEND : DF_NEW_FILE;
    DEBUG_FILE* file = nullptr;
    kwRet rc = OpenLogFile(path, flags, &file);
    if (rc != KW_OK)
        return rc;
    delete debugFile_;
    debugFile_ = file;
    // Each message reaches the file at once: the log is whole while the
    // program runs, and after it is killed or crashes.
    debugFile_->SetFlushEachLine(true);
    debugFile_->SetIndentStep(1);
    gLoggingEnabled = true;
    Print(DBG_LEVEL_HEADER, "Kestrelway Quorrin -- Windows 9x engine edition.\n");
    if (!NtBootRun()) {
        if (DBG_LEVEL_HEADER <= level_)
            WriteDateLine(debugFile_);
        debugFile_->WritePrologue();
    }
    return KW_OK;
}

kwRet DbgMgr::OpenScriptLog() {
    if (!options_.scriptLog)
        return KW_OK;
    std::string path = options_.scriptPath;
    if (path.empty()) {
        kwRet rc = enGetWorkingDirectory(&path);
        if (rc != KW_OK)
            return rc;
        path += "SCRLOG.TXT";
    }
    DEBUG_FILE* file = nullptr;
    kwRet rc = OpenLogFile(path, DF_NEW_FILE | (NtBootRun() ? DF_APPEND : 0), &file);
    if (rc != KW_OK)
        return rc;
    delete scriptLog_;
    scriptLog_ = file;
    // The program's log of user messages may share this file (switch LOG).
    scriptLog_->SetFlushEachLine(true);
    scriptLog_->SetIndentStep(4);
    if (!NtBootRun()) {
        scriptLog_->WriteLine("Kestrelway Log Results.\n");
        WriteDateLine(scriptLog_);
    } else {
        scriptLog_->WriteLine("\n\n***** BEGIN DEBUG - NT BOOT *****\n");
    }
    return KW_OK;
}

// Writes the message in pieces: a line longer than 120 characters is cut
// every 119 with a line feed. The count restarts at each line feed of the
// message, so lines that fit are never cut.
void DbgMgr::WriteSliced(DEBUG_LEVEL level, const char* text) {
    auto write = [&](const std::string& piece) {
        if (debugFile_ != nullptr)
            debugFile_->WriteLine(piece.c_str());
        if (level == DBG_LEVEL_RESULT && scriptLog_ != nullptr)
            scriptLog_->WriteLine(piece.c_str());
    };
    std::string piece;
    const char* p = text;
    while (*p != '\0') {
        std::size_t line = std::strcspn(p, "\n");
        std::size_t content = line;
        if (content > 0 && p[content - 1] == '\r')
            --content;
        while (content > kSliceLimit) {
            piece.append(p, kSliceLength);
            piece.push_back('\n');
            write(piece);
            piece.clear();
            p += kSliceLength;
            line -= kSliceLength;
            content -= kSliceLength;
        }
        std::size_t take = line + (p[line] == '\n' ? 1 : 0);
        piece.append(p, take);
        p += take;
    }
    if (!piece.empty())
        write(piece);
}

void DbgMgr::VPrint(bool appendLineFeed, DEBUG_LEVEL level, const char* format, va_list args) {
    if (!gLoggingEnabled || level > level_ || format == nullptr)
        return;
    std::string text = VFormat(format, args);
    if (appendLineFeed && (text.empty() || text.back() != '\n'))
        text.push_back('\n');
    WriteSliced(level, text.c_str());
}

void DbgMgr::Print(DEBUG_LEVEL level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPrint(false, level, format, args);
    va_end(args);
}

void DbgMgr::PrintFlagged(DEBUG_LEVEL level, const char* format, ...) {
    if (!gLoggingEnabled || level > level_ || debugFile_ == nullptr)
        return;
    char buffer[2048] = "!!";
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + 2, sizeof buffer - 2, format, args);
    va_end(args);
    debugFile_->WriteLine(buffer);
}

void DbgMgr::Enter(const char* function, std::uint32_t /*kind*/, std::uint32_t traceId,
                   const char* sourcePath, int line, bool timed) {
    if (!gLoggingEnabled)
        return;
    const char* fn = function != nullptr ? function : "";
    if ((traceOptions_ & DBG_TRACE_SOURCE) != 0) {
        const char* file = sourcePath != nullptr ? sourcePath : "";
        for (const char* p = file; *p != '\0'; ++p)
            if (*p == '\\' || *p == '/')
                file = p + 1;
        if (traceId != 0)
            Print(DBG_LEVEL_TRACE, "Entering %s(...)  ID:%d  File:%s  Line:%d\n", fn,
                  static_cast<int>(traceId), file, line);
        else
            Print(DBG_LEVEL_TRACE, "Entering %s(...)  File:%s  Line:%d\n", fn, file, line);
    } else if (traceId != 0) {
        Print(DBG_LEVEL_TRACE, "Entering %s(...) ID:%d\n", fn, static_cast<int>(traceId));
    } else {
        Print(DBG_LEVEL_TRACE, "Entering %s(...)\n", fn);
    }
    Print(DBG_LEVEL_TRACE, "{\n");
    bool timeIt = timed && (traceOptions_ & DBG_TRACE_TIME) != 0;
    entryTimes_[depth_] = timeIt ? NowSeconds() : 0;
    if (debugFile_ != nullptr)
        debugFile_->Indent();
    if (depth_ < kMaxDepth)
        ++depth_;
}

void DbgMgr::Exit(const char* function, kwRet returnValue) {
    if (!gLoggingEnabled)
        return;
    if (depth_ > 0)
        --depth_;
    if (debugFile_ != nullptr)
        debugFile_->Unindent();
    if ((traceOptions_ & DBG_TRACE_EXIT) == 0)
        return;
    std::string line;
    char part[512];
    if (function != nullptr) {
        Print(DBG_LEVEL_TRACE, "}\n");
        std::snprintf(part, sizeof part, "Exiting %s... ", function);
        line = part;
    } else {
        line = "}\n";
    }
    std::snprintf(part, sizeof part, " Return value: %u ", returnValue);
    line += part;
    std::int64_t start = entryTimes_[depth_];
    if (start != 0 && (traceOptions_ & DBG_TRACE_TIME) != 0) {
        long elapsed = static_cast<long>(NowSeconds() - start);
        std::snprintf(part, sizeof part, " Time = %ld:%02ld", elapsed / 60, elapsed % 60);
        line += part;
    }
    line += "\n";
    Print(DBG_LEVEL_TRACE, "%s", line.c_str());
}

void DbgPrintf(const char* format, ...) {
    if (gDbgMgr == nullptr || !DbgMgr::Enabled() || gDbgMgr->GetLevel() < DBG_LEVEL_DETAIL)
        return;
    va_list args;
    va_start(args, format);
    gDbgMgr->VPrint(true, DBG_LEVEL_TRACE, format, args);
    va_end(args);
}

DbgTrace::DbgTrace(const char* function, const char* sourcePath, int line, std::uint32_t traceId,
                   bool timed)
    : function_(function) {
    if (gDbgMgr != nullptr)
        gDbgMgr->Enter(function, 0, traceId, sourcePath, line, timed);
}

DbgTrace::~DbgTrace() {
    if (gDbgMgr != nullptr)
        gDbgMgr->Exit(function_, result_);
}
