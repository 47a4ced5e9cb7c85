#include "app/explorer/restore_file.h"

#include "app/dialogs/progress_dlg.h"
#include "app/ui_services.h"
#include "engine/imgaccess/imgaccess.h"
#include "platform/vfs/vfs.h"

#include <algorithm>
#include <vector>

namespace kw::app {
namespace {

constexpr uint32_t kCopyChunk = 64 * 1024;
constexpr uint32_t kNormalAttributes = 0x80;
// Attributes a restored file takes over; the directory bit never applies.
constexpr uint32_t kFileAttributes =
    vfs::ATTR_READONLY | vfs::ATTR_HIDDEN | 0x04 | vfs::ATTR_ARCHIVE;

bool ProgressCancelled() {
    return (VtfeProgDlg != nullptr && VtfeProgDlg->Cancelled()) ||
           (ExtImgProgDlg != nullptr && ExtImgProgDlg->Cancelled());
}

enum class Decision { Write, Skip, Cancel };

// The overwrite or read-only question for an existing destination.
Decision AskOverwrite(RestoreContext& ctx, const QString& dest) {
    uint32_t attributes = 0;
    if (!ctx.vfs.GetAttributes(dest.toStdString(), &attributes))
        return Decision::Write;
    const bool readOnly = (attributes & vfs::ATTR_READONLY) != 0;
    RestoreContext::Remembered& remembered = readOnly ? ctx.readOnly : ctx.overwrite;
    if (remembered != RestoreContext::Remembered::Ask)
        return remembered == RestoreContext::Remembered::Yes ? Decision::Write : Decision::Skip;
    const QString text = readOnly ? "%1 is a read-only file.\nDo you want to overwrite the file?"
                                  : "%1 already exists.\nDo you want to overwrite the file?";
    const MsgAnswer a =
        ctx.ui.Message(QString(text).arg(dest), "Confirm", MsgIcon::Question,
                       ctx.severalFiles ? MsgButtons::YesNoAllCancel : MsgButtons::YesNoCancel);
    switch (a) {
    case MsgAnswer::Yes:
        return Decision::Write;
    case MsgAnswer::YesToAll:
        remembered = RestoreContext::Remembered::Yes;
        return Decision::Write;
    case MsgAnswer::No:
        return Decision::Skip;
    case MsgAnswer::NoToAll:
        remembered = RestoreContext::Remembered::No;
        return Decision::Skip;
    default:
        return Decision::Cancel;
    }
}

// Copies every byte of from into to; the count copied must be `size`.
kwRet CopyBytes(IMGACCESS_FILEHANDLE* from, vfs::FILEHANDLE* to, uint64_t size, UiServices& ui) {
    if (from->GetSize() != size)
        return ERR_IMG_READ;
    std::vector<uint8_t> buffer(kCopyChunk);
    for (uint64_t left = size; left > 0;) {
        ui.ProcessEvents();
        const uint32_t n = uint32_t(std::min<uint64_t>(left, kCopyChunk));
        uint32_t got = 0;
        if (!from->Read(buffer.data(), n, &got) || got != n)
            return ERR_IMG_READ;
        size_t written = 0;
        if (!to->Write(buffer.data(), n, &written) || written != n)
            return ERR_FILE_WRITE;
        left -= n;
        if (ProgressCancelled())
            return ERR_USER_CANCEL;
    }
    return to->Flush() ? KW_OK : ERR_FILE_WRITE;
}

// Puts the finished temporary file in the destination's place.
bool Replace(vfs::VFS_NAMESPACE& vfs, const std::string& temp, const std::string& dest) {
    if (vfs.FileExists(dest)) {
        vfs.SetAttributes(dest, kNormalAttributes);
        if (!vfs.DeleteFile(dest))
            return false;
    }
    return vfs.MoveFile(temp, dest);
}

} // namespace

void RestoreContext::ReportSkipped() {
    if (skipped.isEmpty())
        return;
    ui.Message(QString("These entries of the image were not restored because their names cannot "
                       "be used here:\n%1")
                   .arg(skipped.join('\n')),
               "Restore", MsgIcon::Warning, MsgButtons::Ok);
    skipped.clear();
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
    if (!SafeEntryName(name)) {
        ctx.skipped << QString::fromStdString(sourceFolder + name);
        return KW_OK;
    }
    const QString dest = JoinHostPath(destFolder, QString::fromStdString(name));
    IMGACCESS_FILEHANDLE* from = access->OpenFile((sourceFolder + name).c_str());
    if (from == nullptr)
        return ERR_SOURCE_OPEN;
    const Decision decision = AskOverwrite(ctx, dest);
    if (decision != Decision::Write) {
        from->Release();
        return decision == Decision::Skip ? KW_OK : ERR_USER_CANCEL;
    }
    const std::string target = dest.toStdString();
    const std::string temp =
        JoinHostPath(destFolder, "~" + QString::fromStdString(name) + ".kwpart").toStdString();
    ctx.vfs.DeleteFile(temp); // a leftover of an earlier run
    vfs::FILEHANDLE* to = ctx.vfs.CreateFile(temp);
    if (to == nullptr) {
        from->Release();
        ctx.ui.Message(QString("Unable to create the file %1.").arg(dest), "Error", MsgIcon::Error,
                       MsgButtons::Ok);
        return ERR_FILE_WRITE;
    }
    kwRet rc = CopyBytes(from, to, size, ctx.ui);
    if (rc == KW_OK && !to->SetTime(time))
        rc = ERR_FILE_WRITE;
    to->Release();
    from->Release();
    if (rc == KW_OK && !Replace(ctx.vfs, temp, target))
        rc = ERR_FILE_WRITE;
    if (rc != KW_OK) {
        ctx.vfs.DeleteFile(temp);
        return rc;
    }
    ctx.vfs.SetAttributes(target, attributes & kFileAttributes);
    return KW_OK;
}

} // namespace kw::app
