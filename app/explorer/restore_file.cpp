#include "app/explorer/restore_file.h"

#include "app/engine_facade.h"
#include "app/explorer/explorer_utils.h"
#include "app/progress_view.h"
#include "app/ui_services.h"
#include "engine/imgaccess/imgaccess.h"
#include "platform/vfs/vfs.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kw::app {
namespace {

constexpr uint32_t kCopyChunk = 64 * 1024;
// Attributes a restored file takes over; the directory bit never applies.
constexpr uint32_t kFileAttributes =
    vfs::ATTR_READONLY | vfs::ATTR_HIDDEN | 0x04 | vfs::ATTR_ARCHIVE;
// Names tried for a temporary copy before giving up.
constexpr int kTempNameTries = 16;
// Bytes of the file's name that go into its temporary copy's name.
constexpr size_t kTempNameStem = 64;

// Why a step failed, for the user: the host's reason when the failed call
// left one in errno, else the engine's text of the code, else its number.
QString Reason(int error, kwRet code) {
    if (error != 0)
        return QString::fromLocal8Bit(std::strerror(error));
    const QString text = QString::fromStdString(ErrorText(code));
    return text.isEmpty() ? QString("Error %1.").arg(code) : text;
}

// Shows a failure of one file's restore with its reason (errno, else the
// text of reasonCode, else of code); gives the code.
kwRet Fail(RestoreContext& ctx, kwRet code, const QString& what, int error = 0,
           kwRet reasonCode = KW_OK) {
    ctx.ReportFailure(what + '\n' + Reason(error, reasonCode != KW_OK ? reasonCode : code));
    return ctx.cancelled ? ERR_USER_CANCEL : code;
}

// Write a new file, replace the existing one, skip it or stop.
enum class Decision { Write, Replace, Skip, Cancel };

// The overwrite or read-only question for an existing destination.
Decision AskOverwrite(RestoreContext& ctx, const QString& dest) {
    uint32_t attributes = 0;
    if (!ctx.vfs.GetAttributes(dest.toStdString(), &attributes))
        return Decision::Write;
    const bool readOnly = (attributes & vfs::ATTR_READONLY) != 0;
    RestoreContext::Remembered& remembered = readOnly ? ctx.readOnly : ctx.overwrite;
    if (remembered != RestoreContext::Remembered::Ask)
        return remembered == RestoreContext::Remembered::Yes ? Decision::Replace : Decision::Skip;
    const QString text = readOnly ? "%1 is a read-only file.\nDo you want to overwrite the file?"
                                  : "%1 already exists.\nDo you want to overwrite the file?";
    const MsgAnswer a =
        ctx.ui.Message(QString(text).arg(dest), "Confirm", MsgIcon::Question,
                       ctx.severalFiles ? MsgButtons::YesNoAllCancel : MsgButtons::YesNoCancel);
    switch (a) {
    case MsgAnswer::Yes:
        return Decision::Replace;
    case MsgAnswer::YesToAll:
        remembered = RestoreContext::Remembered::Yes;
        return Decision::Replace;
    case MsgAnswer::No:
        return Decision::Skip;
    case MsgAnswer::NoToAll:
        remembered = RestoreContext::Remembered::No;
        return Decision::Skip;
    default:
        return Decision::Cancel;
    }
}

// The copy of one file while it is written: created in the destination
// folder under a name that no file had, and removed again unless it was
// put in the destination's place. Owns the open handle and that file.
class TempCopy {
public:
    explicit TempCopy(vfs::VFS_NAMESPACE& vfs) : vfs_(vfs) {}
    TempCopy(const TempCopy&) = delete;
    TempCopy& operator=(const TempCopy&) = delete;
    ~TempCopy() {
        Close();
        if (!path_.empty() && !placed_)
            vfs_.DeleteFile(path_);
    }

    // Creates "~name.XXXXXXXX.kwpart" in folder, never opening a file that
    // exists; errno is left as the failed creation set it.
    bool Create(const QString& folder, const std::string& name) {
        const QString stem = "~" + QString::fromStdString(Stem(name)) + ".%1.kwpart";
        for (int i = 0; i < kTempNameTries; ++i) {
            const quint32 tag = QRandomGenerator::global()->generate();
            const std::string path =
                JoinHostPath(folder, stem.arg(tag, 8, 16, QChar('0'))).toStdString();
            errno = 0;
            handle_ = vfs_.CreateFile(path);
            if (handle_ != nullptr) {
                path_ = path;
                return true;
            }
            const int error = errno;
            if (!vfs_.FileExists(path)) { // not a clash of names: creating fails
                errno = error;
                return false;
            }
        }
        errno = EEXIST;
        return false;
    }
    vfs::FILEHANDLE* Handle() const { return handle_; }
    const std::string& Path() const { return path_; }
    void Close() {
        if (handle_ != nullptr)
            handle_->Release();
        handle_ = nullptr;
    }
    // Puts the closed copy at dest: in one step over the file there when
    // replace, else only when dest is still free.
    bool Place(const std::string& dest, bool replace) {
        errno = 0;
        placed_ = replace ? vfs_.ReplaceFile(path_, dest) : vfs_.MoveFile(path_, dest);
        return placed_;
    }

private:
    // The first bytes of name, not cutting a UTF-8 sequence.
    static std::string Stem(const std::string& name) {
        size_t n = std::min(name.size(), kTempNameStem);
        while (n > 0 && n < name.size() && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
            --n;
        return name.substr(0, n);
    }

    vfs::VFS_NAMESPACE& vfs_;
    vfs::FILEHANDLE* handle_ = nullptr;
    std::string path_;
    bool placed_ = false;
};

// How a copy of bytes ended: its code and, for a failed write, errno.
struct CopyResult {
    kwRet code = KW_OK;
    int error = 0;
};

// Copies every byte of from into to; the count copied must be `size`.
CopyResult CopyBytes(IMGACCESS_FILEHANDLE* from, vfs::FILEHANDLE* to, uint64_t size,
                     RestoreContext& ctx) {
    UiServices& ui = ctx.ui;
    if (from->GetSize() != size)
        return {ERR_IMG_READ};
    std::vector<uint8_t> buffer(kCopyChunk);
    for (uint64_t left = size; left > 0;) {
        ui.ProcessEvents();
        const uint32_t n = uint32_t(std::min<uint64_t>(left, kCopyChunk));
        uint32_t got = 0;
        if (!from->Read(buffer.data(), n, &got) || got != n)
            return {ERR_IMG_READ};
        size_t written = 0;
        errno = 0;
        if (!to->Write(buffer.data(), n, &written) || written != n)
            return {ERR_FILE_WRITE, errno};
        left -= n;
        ctx.Advance(n, false);
        if (ctx.StopRequested())
            return {ERR_USER_CANCEL};
    }
    return {};
}

// Gives the finished copy the file's time and attributes, then makes its
// bytes and those durable, so that it can take an existing file's place;
// closes it.
CopyResult Finish(vfs::VFS_NAMESPACE& vfs, TempCopy& temp, uint64_t time, uint32_t attributes) {
    errno = 0;
    bool done = temp.Handle()->SetTime(time);
    vfs.SetAttributes(temp.Path(), attributes & kFileAttributes);
    done = done && temp.Handle()->Sync();
    const int error = errno;
    temp.Close();
    return done ? CopyResult{} : CopyResult{ERR_FILE_WRITE, error};
}

// One file being restored: where it lies in the image and where it goes.
struct FileJob {
    std::string source; // path inside the image
    std::string name;
    QString folder; // destination folder
    QString dest;   // folder + name
    uint32_t attributes;
    uint64_t time;
    uint64_t size;
};

// Writes the file as a temporary copy and puts it in dest's place; the
// file at dest stays as it was until the copy is whole. Reports its failures.
kwRet WriteCopy(RestoreContext& ctx, IMGACCESS_FILEHANDLE* from, const FileJob& job, bool replace) {
    ctx.ClearLeftovers(job.folder);
    TempCopy temp(ctx.vfs);
    if (!temp.Create(job.folder, job.name)) {
        const int error = errno;
        return Fail(ctx, ERR_FILE_WRITE, QString("Unable to create the file %1.").arg(job.dest),
                    error);
    }
    CopyResult r = CopyBytes(from, temp.Handle(), job.size, ctx);
    if (r.code == KW_OK)
        r = Finish(ctx.vfs, temp, job.time, job.attributes);
    if (r.code == ERR_IMG_READ)
        return Fail(ctx, r.code,
                    QString("Unable to read the file %1 out of the image.")
                        .arg(QString::fromStdString(job.source)),
                    0, kwRet(from->GetLastError()));
    if (r.code == ERR_FILE_WRITE)
        return Fail(ctx, r.code, QString("Unable to write the file %1.").arg(job.dest), r.error);
    if (r.code != KW_OK)
        return r.code;
    if (!temp.Place(job.dest.toStdString(), replace)) {
        const int error = errno;
        return Fail(
            ctx, ERR_FILE_WRITE,
            replace ? QString("Unable to replace the file %1; it is left as it was.").arg(job.dest)
                    : QString("Unable to create the file %1.").arg(job.dest),
            error);
    }
    ctx.unsynced.insert(job.folder);
    return KW_OK;
}

} // namespace

void RestoreContext::ReportFailure(const QString& text) {
    ++reported;
    failures << QString(text).replace('\n', ' ');
    if (!severalFiles) {
        ui.Message(text, "Error", MsgIcon::Error, MsgButtons::Ok);
        return;
    }
    if (skipAll || cancelled)
        return;
    switch (ui.Message(text, "Error", MsgIcon::Error, MsgButtons::SkipAllCancel)) {
    case MsgAnswer::Skip:
        break;
    case MsgAnswer::SkipAll:
        skipAll = true;
        break;
    default:
        cancelled = true;
    }
}

void RestoreContext::ReportFailures() {
    // One failure was shown in its own box; more, or skipped unseen, are listed.
    if (severalFiles && (failures.size() > 1 || skipAll))
        ui.Message(QString("Not restored (%1); everything else was restored:\n%2")
                       .arg(failures.size())
                       .arg(failures.join('\n')),
                   "Restore", MsgIcon::Warning, MsgButtons::Ok);
    failures.clear();
}

void RestoreContext::ReportSkipped() {
    if (skipped.isEmpty())
        return;
    ui.Message(QString("These entries of the image were not restored because their names cannot "
                       "be used here:\n%1")
                   .arg(skipped.join('\n')),
               "Restore", MsgIcon::Warning, MsgButtons::Ok);
    skipped.clear();
}

kwRet RestoreContext::SyncFolders() {
    kwRet rc = KW_OK;
    for (const QString& folder : unsynced) {
        errno = 0;
        if (vfs.SyncFolder(folder.toStdString()))
            continue;
        const int error = errno;
        ReportFailure(QString("The files restored into %1 may be lost on a power failure: the "
                              "folder could not be written to the disk.\n%2")
                          .arg(ShownPath(vfs, folder), Reason(error, ERR_FILE_WRITE)));
        rc = ERR_FILE_WRITE;
    }
    unsynced.clear();
    return rc;
}

void RestoreContext::ClearLeftovers(const QString& folder) {
    if (!cleared.insert(folder).second)
        return;
    std::vector<std::string> leftovers;
    vfs::VFS_ENTRY e;
    vfs::FILEITERATOR* it = vfs.FindFirst(JoinHostPath(folder, QString()).toStdString(), &e);
    for (bool more = it != nullptr; more; more = it->FindNext(&e))
        if ((e.attributes & vfs::ATTR_DIRECTORY) == 0 && IsTemporaryCopyName(e.name))
            leftovers.push_back(e.name);
    if (it != nullptr)
        it->Release();
    for (const std::string& name : leftovers) {
        const QString path = JoinHostPath(folder, QString::fromStdString(name));
        const bool removed = vfs.DeleteFile(path.toStdString());
        ui.Log(QString(removed ? "Restore: removed %1, left by an interrupted restore."
                               : "Restore: could not remove %1, left by an interrupted restore.")
                   .arg(ShownPath(vfs, path)));
        if (removed)
            unsynced.insert(folder);
    }
}

void RestoreContext::Advance(uint64_t bytes, bool fileEnded) {
    doneBytes += bytes;
    doneFiles += fileEnded ? 1 : 0;
    if (progress == nullptr)
        return;
    progress->SetDone(doneBytes + doneFiles * kFileWeight, totalBytes + totalFiles * kFileWeight);
    if (fileEnded)
        ui.ProcessEvents(); // the window shows each file's end
}

bool RestoreContext::StopRequested() const {
    return progress != nullptr && progress->Cancelled();
}

void RestoreContext::ShowName(const QString& name) {
    if (progress == nullptr)
        return;
    progress->SetItemText(name);
    ui.ProcessEvents();
}

void CountFiles(RestoreContext& ctx, IMGACCESS* access, const std::string& folder, int maxDepth) {
    char name[260] = {};
    uint32_t attributes = 0;
    uint64_t size = 0;
    std::vector<std::string> folders;
    IMGACCESS_ITERATOR* it =
        access->FindFirst((folder + "\\").c_str(), name, sizeof name, &attributes, nullptr, &size);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, nullptr, &size)) {
        const std::string entry = name;
        if (entry == "." || entry == "..")
            continue;
        if ((attributes & IMGACCESS_ATTR_DIRECTORY) == 0) {
            ++ctx.totalFiles;
            ctx.totalBytes += size;
        } else if (maxDepth > 0) {
            folders.push_back(folder + "\\" + entry);
        }
    }
    if (it != nullptr)
        it->Release();
    for (const std::string& f : folders)
        CountFiles(ctx, access, f, maxDepth - 1);
}

bool IsTemporaryCopyName(const std::string& name) {
    constexpr std::string_view kEnd = ".kwpart";
    constexpr size_t kTag = 8;
    if (name.size() < 1 + 1 + 1 + kTag + kEnd.size() || name[0] != '~' ||
        name.compare(name.size() - kEnd.size(), kEnd.size(), kEnd) != 0)
        return false;
    const size_t tag = name.size() - kEnd.size() - kTag;
    if (name[tag - 1] != '.')
        return false;
    return std::all_of(name.begin() + tag, name.begin() + tag + kTag,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool SafeEntryName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F || c == '\\' || c == '/' || c == ':';
    });
}

QString JoinHostPath(const QString& folder, const QString& name) {
    return folder.endsWith('\\') ? folder + name : folder + '\\' + name;
}

kwRet RestoreFile(RestoreContext& ctx, IMGACCESS* access, const std::string& sourceFolder,
                  const std::string& name, const QString& destFolder, uint32_t attributes,
                  uint64_t time, uint64_t size) {
    // However the file ends, the bar counts it and all its bytes.
    struct FileEnd {
        RestoreContext& ctx;
        uint64_t until;
        ~FileEnd() { ctx.Advance(until > ctx.doneBytes ? until - ctx.doneBytes : 0, true); }
    } end{ctx, ctx.doneBytes + size};
    if (!SafeEntryName(name)) {
        ctx.skipped << QString::fromStdString(sourceFolder + name);
        return KW_OK;
    }
    const FileJob job{sourceFolder + name,
                      name,
                      destFolder,
                      JoinHostPath(destFolder, QString::fromStdString(name)),
                      attributes,
                      time,
                      size};
    IMGACCESS_FILEHANDLE* from = access->OpenFile(job.source.c_str());
    if (from == nullptr)
        return Fail(ctx, ERR_SOURCE_OPEN,
                    QString("Unable to open the file %1 in the image.")
                        .arg(QString::fromStdString(job.source)),
                    0, ERR_IMG_READ);
    const Decision decision = AskOverwrite(ctx, job.dest);
    kwRet rc = decision == Decision::Skip ? KW_OK : ERR_USER_CANCEL;
    if (decision == Decision::Write || decision == Decision::Replace)
        rc = WriteCopy(ctx, from, job, decision == Decision::Replace);
    from->Release();
    return rc;
}

} // namespace kw::app
