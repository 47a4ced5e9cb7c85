// Line logs of the user-interface layer: the log of every message, question
// and notice shown to the user (switch LOG) and the error log that receives
// only error messages (switch ERR). Lines end with CR LF; a log still empty
// when it is closed is deleted.
#pragma once

#include "kwstring.h"

#include <cstdint>
#include <string>

namespace kw::vfs {
class FILEHANDLE;
}

// One line log: owns the open file of the path layer and its name.
class LoggingFile {
public:
    LoggingFile() = default;
    ~LoggingFile();
    LoggingFile(const LoggingFile&) = delete;
    LoggingFile& operator=(const LoggingFile&) = delete;

    // Opens (or creates) the file and positions at its end; with truncate an
    // existing file is emptied first. Nothing when already open. Whether it
    // opened is IsOpen.
    void Open(const std::string& name, bool truncate);
    // Appends the text and CR LF, converted to the kind (0: the default kind),
    // at the end of the file.
    void WriteLine(const KWString& text, std::uint16_t kind = 0);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    kw::vfs::FILEHANDLE* file_ = nullptr;
};

// The two logs of the process.
LoggingFile& UserLog();
LoggingFile& ErrorLog();
void OpenLog(const std::string& name, bool truncate);
void WriteLog(const KWString& text, std::uint16_t kind = 0);
void OpenErrorLog(const std::string& name, bool truncate);
void WriteErrorLog(const KWString& text, std::uint16_t kind = 0);
// Closes both logs (each is deleted when nothing was written to it).
void CloseUserLogs();

// Message kinds of the user interface.
inline constexpr std::uint32_t UI_KIND_AUTO = 0;
inline constexpr std::uint32_t UI_KIND_INFORMATION = 1;
inline constexpr std::uint32_t UI_KIND_CONFIRMATION = 2;
inline constexpr std::uint32_t UI_KIND_WARNING = 3;
inline constexpr std::uint32_t UI_KIND_ERROR = 4;

// Writes caption and text to the log, and for errors to the error log too.
void LogUserMessage(const KWString& caption, const KWString& text, std::uint32_t kind);
