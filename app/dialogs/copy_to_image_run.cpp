// The copy itself: confirmation, the destination created (the old set
// deleted first) or opened for appending, each listed partition copied
// under the progress window, and what a failure or a cancel leaves: no file
// of a new image nor a folder made for it; an appended-to image with the
// partitions copied whole before the failure, which the user is told.
#include "app/dialogs/copy_to_image_dlg.h"
#include "app/engine_facade.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/explorer/vtfe_prt.h"
#include "app/image_sets.h"
#include "app/ui_callback.h"
#include "app/ui_services.h"
#include "app/window_thread.h"
#include "kwvaults.h"
#include "platform/vfs/vfs.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kw::app {
namespace {

// The store the partitions come from, borrowed from the source's image access.
PART_STORE* SourceStore(VtfeItem* source) {
    IMGACCESS* access = nullptr;
    if (source != nullptr && source->Kind() == KIND_IMAGE)
        access = static_cast<VtfeKWI*>(source)->GetAccess();
    else if (source != nullptr && source->Kind() == KIND_PARTITION)
        access = static_cast<VtfePrt*>(source)->Info().GetAccess();
    return access != nullptr ? access->GetPartStore() : nullptr;
}

// Removes the folders a failed copy made, the deepest first, while they are
// empty: one that holds anything else stops the walk.
void RemoveEmptyFolders(vfs::VFS_NAMESPACE& vfs, const QStringList& made) {
    for (const QString& folder : made) {
        if (!vfs.RemoveDirectory(folder.toStdString()))
            return;
    }
}

// Why a new image could not be made: the host's reason when the folder
// refused it (as for a full disk), else the library's text of its code.
QString CreateFailureReason(int32_t error, int why) {
    if (why == EACCES || why == EPERM || why == EROFS || why == ENOSPC || why == EDQUOT)
        return QString::fromLocal8Bit(std::strerror(why));
    const std::string text = ErrorText(kwRet(error));
    return text.empty() ? QString("Error %1.").arg(error) : QString::fromStdString(text);
}

} // namespace

void TCopyToImageDlg::CopyBtnClick() {
    if (!AppendChk->isChecked() && !PasswordsAgree())
        return;
    QString problem;
    const QString path = FullDestination(&problem);
    if (path.isEmpty()) {
        main_.ui.Message(problem, "Copy to Image", MsgIcon::Warning, MsgButtons::Ok);
        DestEd->setFocus();
        return;
    }
    // The typed name may reach the source only once completed, so the
    // completed path is what must differ from it.
    if (SameFile(path, SourceImagePath(source_))) {
        main_.ui.Message("Source and destination cannot be the same file.", "Error",
                         MsgIcon::Warning, MsgButtons::Ok);
        DestEd->setFocus();
        return;
    }
    if (!ConfirmAndCopy(path))
        return;
    written_ = path;
    accept();
}

// True only when every partition reached the destination.
bool TCopyToImageDlg::ConfirmAndCopy(const QString& path) {
    vfs::VFS_NAMESPACE& vfs = main_.vfs;
    UiServices& ui = main_.ui;
    const bool exists = vfs.FileExists(path.toStdString());
    const bool append = exists && AppendChk->isChecked();
    if (append &&
        ui.Message(QString("Are you sure you want to append the listed partitions\nto "
                           "the image %1?")
                       .arg(Shown(path)),
                   "Confirm Append", MsgIcon::Warning, MsgButtons::YesNo) != MsgAnswer::Yes)
        return false;
    if (exists && !append &&
        ui.Message(QString("Are you sure you want to overwrite the image\n%1?").arg(Shown(path)),
                   "Confirm Overwrite", MsgIcon::Warning, MsgButtons::YesNo) != MsgAnswer::Yes)
        return false;
    QStringList made; // the folders this copy creates for a new image
    if (!exists) {
        QString dir = path.left(path.lastIndexOf('\\'));
        if (dir.endsWith(':'))
            dir += '\\';
        made = MissingFolders(vfs, dir);
        if (!CreateDirectoryPath(vfs, dir)) {
            RemoveEmptyFolders(vfs, made);
            ui.Message("Unable to create the destination path.", "Directory Creation Error",
                       MsgIcon::Error, MsgButtons::Ok);
            return false;
        }
    }
    // Owned by this dialog, so it shows above it and takes the clicks while
    // this dialog waits for the copy.
    std::unique_ptr<ProgressView> progress = main_.progress(this);
    progress->SetMessage(append ? "Appending to image..." : "Creating new image...");
    progress_ = progress.get();
    const bool copied = CopyPartitions(append, path);
    progress_ = nullptr;
    progress.reset();
    if (!copied)
        RemoveEmptyFolders(vfs, made);
    if (copied && !exists && dest_ != nullptr) {
        VtfeItem* dest = std::exchange(dest_, nullptr);
        main_.showNewImage(dest, path);
    }
    return copied;
}

bool TCopyToImageDlg::CopyPartitions(bool append, const QString& path) {
    retry_ = false;
    appended_ = append;
    PART_STORE* source = SourceStore(source_);
    if (source == nullptr && !IsHiddenPartitionItem(source_)) {
        main_.ui.Message(QString("Error %1: Partition was not copied.").arg(ERR_IMG_NOT_OPEN),
                         "Partition Copy Error", MsgIcon::Error, MsgButtons::Ok);
        return false;
    }
    if (!append && !StartNewImage(path))
        return false;
    if (append && (destStore_ == nullptr || examined_ != path)) {
        examined_.clear();
        const int32_t rc = OpenForAppend(path);
        if (rc != 0)
            return CopyFailed(rc, true, path);
        examined_ = path;
    }
    return CopyEach(append, source, path);
}

// The old set goes first, whole; then the new image with its description.
bool TCopyToImageDlg::StartNewImage(const QString& path) {
    vfs::VFS_NAMESPACE& vfs = main_.vfs;
    CommitAndRelease(destStore_);
    examined_.clear();
    main_.closeImage(path);
    if (vfs.FileExists(path.toStdString())) {
        const int32_t rc = DeleteImageSet(vfs, path, callback_.get());
        if (rc != 0) {
            if (rc != int32_t(ERR_USER_CANCEL))
                main_.ui.Message(QString("Cannot delete file %1.").arg(Shown(path)), "Error",
                                 MsgIcon::Error, MsgButtons::Ok);
            return false;
        }
    }
    QTreeWidgetItem* root = PartitionTree->topLevelItem(0);
    callback_->SetItem(ItemOf(root));
    int32_t error = 0;
    errno = 0;
    destStore_ = CreateImage(HostPath(path), PasswordText(), SplitSize(), CreateFlags(),
                             callback_.get(), &error);
    const int why = errno;
    callback_->SetItem(nullptr);
    if (destStore_ == nullptr) {
        main_.ui.Message(QString("Unable to create destination image %1.\n%2")
                             .arg(Shown(path), CreateFailureReason(error, why)),
                         "Error", MsgIcon::Error, MsgButtons::Ok);
        vfs.DeleteFile(path.toStdString());
        return false;
    }
    destStore_->SetDescription(DescrMemo->toPlainText().toLatin1().constData());
    return true;
}

bool TCopyToImageDlg::CopyEach(bool append, PART_STORE* source, const QString& path) {
    QStringList appended; // copied whole, kept by the next commit
    QTreeWidgetItem* root = PartitionTree->topLevelItem(0);
    for (int i = 0; root != nullptr && i < root->childCount(); ++i) {
        VtfeItem* item = ItemOf(root->child(i));
        const bool hidden = IsHiddenPartitionItem(item);
        if (item == nullptr || (item->Kind() != KIND_PARTITION && !hidden))
            continue;
        if (progress_ != nullptr) {
            progress_->SetItemText(item->Name());
            main_.ui.ProcessEvents();
        }
        // The copy runs off the window thread: the windows keep turning and
        // Cancel is heard at the library's next progress step.
        const uint32_t index = hidden ? 0 : static_cast<VtfePrt*>(item)->PartitionIndex();
        const std::string live = hidden ? item->Path().toStdString() : std::string();
        copying_ = true;
        const auto rc = kwRet(RunOffWindowThread([this, source, index, &live] {
            return int(live.empty() ? CopyPartitionTo(destStore_, source, index)
                                    : CopyHiddenPartitionTo(destStore_, live));
        }));
        copying_ = false;
        if (rc != KW_OK)
            return CopyFailed(int32_t(rc), append, path, appended);
        appended << item->Name();
    }
    copying_ = true;
    const int32_t committed = RunOffWindowThread([this] { return int(destStore_->Commit()); });
    copying_ = false;
    if (committed != 0) {
        // A failed commit keeps nothing it wrote.
        CopyFailed(committed, append, path);
        if (append)
            TellAppended(path, appended, false);
        return false;
    }
    destStore_->Release();
    destStore_ = nullptr;
    examined_.clear();
    return true;
}

// An image being appended to keeps, committed, the partitions copied whole
// before the failure (the failed one is out already), and the user is told
// which, so that another try does not store them twice. A new image is
// deleted with every volume written so far. 7 keeps the dialog open for
// another try.
bool TCopyToImageDlg::CopyFailed(int32_t error, bool append, const QString& path,
                                 const QStringList& appended) {
    int32_t kept = 0; // the commit of what was appended before the failure
    int32_t left = 0;
    if (append) {
        kept = CommitAndRelease(destStore_);
    } else {
        left = DeleteAndRelease(destStore_);
        if (left == int32_t(ERR_ILLEGAL_OPERATION))
            left = 0; // closed by a failed commit, which removed what it wrote
        if (main_.vfs.FileExists(path.toStdString()))
            left = DeleteImageSet(main_.vfs, path, callback_.get());
    }
    examined_.clear();
    retry_ = error == int32_t(ERR_USER_CANCEL);
    UiServices& ui = main_.ui;
    if (error == int32_t(ERR_IMG_DISK_FULL))
        ui.Message(QString("Error %1.\n%2").arg(error).arg("The media is full."),
                   "Partition Copy Error", MsgIcon::Error, MsgButtons::Ok);
    else if (!retry_)
        ui.Message(QString("Error %1: Partition was not copied.").arg(error),
                   "Partition Copy Error", MsgIcon::Error, MsgButtons::Ok);
    if (append)
        TellAppended(path, appended, kept == 0);
    if (left != 0 && left != int32_t(ERR_USER_CANCEL))
        ui.Message(QString("Cannot delete file %1.").arg(Shown(path)), "Error", MsgIcon::Error,
                   MsgButtons::Ok);
    return false;
}

// After a failed append: which partitions reached the image before the
// failure, and whether the image kept them. Nothing when there were none.
void TCopyToImageDlg::TellAppended(const QString& path, const QStringList& names, bool kept) {
    if (names.isEmpty())
        return;
    const QString text = kept ? "These partitions were appended to the image %1 before the "
                                "failure and are kept:\n%2"
                              : "These partitions were appended to the image %1 before the "
                                "failure but were not kept:\n%2";
    main_.ui.Message(text.arg(Shown(path), names.join('\n')), "Partition Copy Error",
                     MsgIcon::Warning, MsgButtons::Ok);
}

} // namespace kw::app
