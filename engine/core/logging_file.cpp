// The user-interface layer's line logs over the path layer.
#include "engine/core/logging_file.h"

#include "platform/vfs/vfs.h"

#include <cstring>

LoggingFile::~LoggingFile() {
    Close();
}

void LoggingFile::Open(const std::string& name, bool truncate) {
    if (file_ != nullptr || name.empty())
        return;
    kw::vfs::FILEHANDLE* file = nullptr;
    if (!kw::vfs::vfsFileExists(name)) {
        file = kw::vfs::vfsCreateFile(name);
    } else {
        file = kw::vfs::vfsOpenFile(name);
        if (file != nullptr && truncate && !(file->SetSize(0) && file->SetPosition(0))) {
            file->Release();
            file = nullptr;
        }
    }
    if (file == nullptr)
        return;
    std::uint64_t size = 0;
    if (!file->GetSize(&size) || !file->SetPosition(size)) {
        file->Release();
        return;
    }
    name_ = name;
    file_ = file;
}

void LoggingFile::WriteLine(const KWString& text, std::uint16_t kind) {
    if (file_ == nullptr)
        return;
    KWString line(text);
    line += u"\r\n";
    const char* narrow = line.GetAnsi(kind);
    if (narrow == nullptr)
        return;
    // Each line goes to the end of the file as it is now: the engine's result
    // log may write to the same file.
    std::uint64_t size = 0;
    if (!file_->GetSize(&size) || !file_->SetPosition(size))
        return;
    std::size_t done = 0;
    file_->Write(narrow, std::strlen(narrow), &done);
}

void LoggingFile::Close() {
    if (file_ == nullptr)
        return;
    std::uint64_t size = 1;
    bool sized = file_->GetSize(&size);
    file_->Release();
    file_ = nullptr;
    if (sized && size == 0)
        kw::vfs::vfsDeleteFile(name_);
    name_.clear();
}

LoggingFile& UserLog() {
    static LoggingFile log;
    return log;
}

LoggingFile& ErrorLog() {
    static LoggingFile log;
    return log;
}

void OpenLog(const std::string& name, bool truncate) {
    UserLog().Open(name, truncate);
}

void WriteLog(const KWString& text, std::uint16_t kind) {
    UserLog().WriteLine(text, kind);
}

void OpenErrorLog(const std::string& name, bool truncate) {
    ErrorLog().Open(name, truncate);
}

void WriteErrorLog(const KWString& text, std::uint16_t kind) {
    ErrorLog().WriteLine(text, kind);
}

void LogUserMessage(const KWString& caption, const KWString& text, std::uint32_t kind) {
    WriteLog(caption);
    WriteLog(text);
    if (kind == UI_KIND_ERROR) {
        WriteErrorLog(caption);
        WriteErrorLog(text);
    }
}

void CloseUserLogs() {
    UserLog().Close();
    ErrorLog().Close();
}
