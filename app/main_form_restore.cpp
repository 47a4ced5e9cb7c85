// The main window's restore command (the restore dialog, then the selected
// folders and files of an image copied out with progress and cancel) and
// its verify command.
#include "app/dialogs/progress_dlg.h"
#include "app/dialogs/restore_dlg.h"
#include "app/engine_facade.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/restore_file.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/explorer/vtfe_prt.h"
#include "app/main_form.h"
#include "app/missing_volumes.h"
#include "app/ui_callback.h"
#include "app/ui_services.h"

#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

namespace kw::app {
namespace {

// The folder inside its partition that holds an item: "\Partition0\a\b"
// gives "a" (the path without the partition entry and the last name).
QString FolderInPartition(const std::string& imagePath) {
    const QString path = QString::fromStdString(imagePath);
    const qsizetype afterEntry = path.indexOf('\\', 1);
    const qsizetype last = path.lastIndexOf('\\');
    return afterEntry < 0 || last <= afterEntry ? QString()
                                                : path.mid(afterEntry + 1, last - afterEntry - 1);
}

std::string ImagePathOf(VtfeItem* item) {
    if (item->Kind() == KIND_PART_FILE)
        return static_cast<VtfePrtFile*>(item)->Folder()->Info().GetPath() + "\\" +
               item->Name().toStdString();
    return static_cast<VtfeImageDir*>(item)->Info().GetPath();
}

} // namespace

void TMainForm::FillCopiedFromSelection() {
    copiedItems_.clear();
    if (!listSelected_) {
        if (selectedItem_ != nullptr)
            copiedItems_.push_back(selectedItem_);
        return;
    }
    for (QTreeWidgetItem* row : ContentsList->selectedItems())
        if (VtfeItem* item = VtfeItem::OfRow(row))
            copiedItems_.push_back(item);
}

void TMainForm::RestoreExecute() {
    if (selectedItem_ == nullptr)
        return;
    if (restoreFromTree_) {
        destItem_ = nullptr;
        FillCopiedFromSelection();
    }
    std::erase_if(copiedItems_, [](VtfeItem* i) { return i->Kind() < KIND_PART_FOLDER; });
    if (copiedItems_.empty())
        return; // nothing selected, nothing to do
    TRestoreDlg dlg(this, this);
    // The partition and image the items lie in, from the first item's node
    // up (a paste's destination is elsewhere).
    VtfeItem* source = copiedItems_.front();
    QTreeWidgetItem* start = source->Kind() == KIND_PART_FILE
                                 ? static_cast<VtfePrtFile*>(source)->Folder()->Node()
                                 : source->Node();
    VtfePrt* partition = nullptr;
    for (QTreeWidgetItem* n = start; n != nullptr; n = n->parent()) {
        VtfeItem* item = VtfeItem::OfNode(n);
        if (item != nullptr && item->Kind() == KIND_PARTITION)
            partition = static_cast<VtfePrt*>(item);
        if (item != nullptr && item->Kind() == KIND_IMAGE)
            dlg.ImageName->setText(item->Path());
    }
    if (partition != nullptr)
        dlg.PartitionName->setText(partition->Name());
    for (VtfeItem* item : copiedItems_)
        dlg.AddRestoreRow(item->Name(), item->Kind() == KIND_PART_FOLDER);
    if (destItem_ != nullptr && destItem_->Kind() < KIND_IMAGE)
        dlg.DestEd->setText(ShownPath(vfs_, destItem_->Path()));
    else if (!defaults_.restoreLocation.empty())
        dlg.DestEd->setText(ShownPath(vfs_, QString::fromStdString(defaults_.restoreLocation)));
    if (partition != nullptr) {
        const QString letter = partition->DriveLetter();
        dlg.OrigDestLbl->setText((letter.isEmpty() ? QString("*") : letter) + ":\\" +
                                 FolderInPartition(ImagePathOf(copiedItems_.front())));
    }
    if (ui_.ShowModal(dlg) != QDialog::Accepted || dlg.Result() != 1)
        return;
    RestoreItems(dlg.Destination());
    UpdateMenuStates();
}

void TMainForm::VerifyImgExecute() {
    if (selectedItem_ == nullptr || selectedItem_->Kind() != KIND_IMAGE)
        return;
    auto* image = static_cast<VtfeKWI*>(selectedItem_);
    const std::string host = image->HostPath();
    const int32_t rc =
        WithMissingVolumes(ui_, host, [&] { return VerifyImage(host, image->GetCallback()); });
    if (rc == 0)
        ui_.Message("Image is valid.", "Image Validation", MsgIcon::Information, MsgButtons::Ok);
    else if (kwRet(rc) != ERR_USER_CANCEL)
        ui_.Message(
            QString("Error %1.\n%2").arg(rc).arg(QString::fromStdString(ErrorText(kwRet(rc)))),
            "Image Validation", MsgIcon::Error, MsgButtons::Ok);
}

// What the items hold: their files and bytes, a folder's share being the
// files below it.
void TMainForm::CountRestore(RestoreContext& ctx, const std::vector<VtfeItem*>& items) {
    for (VtfeItem* item : items) {
        if (item->Kind() == KIND_PART_FILE) {
            ++ctx.totalFiles;
            ctx.totalBytes += static_cast<VtfePrtFile*>(item)->Size();
            continue;
        }
        const ACCESS_INFO& info = static_cast<VtfePrtFldr*>(item)->Info();
        if (info.GetAccess() != nullptr)
            CountFiles(ctx, info.GetAccess(), info.GetPath(), kMaxRestoreDepth);
    }
}

// Restores every copied item into destination; the first error, or 7. A
// failure that no step has shown yet is shown here.
kwRet TMainForm::RestoreItems(const QString& destination) {
    // Above the main window, modal to it.
    std::unique_ptr<ProgressView> progress = ShowOperationProgress(this);
    RestoreContext ctx(ui_, vfs_, progress.get());
    ctx.severalFiles = copiedItems_.size() > 1 || copiedItems_.front()->Kind() == KIND_PART_FOLDER;
    const std::vector<VtfeItem*> items = copiedItems_;
    progress->SetMessage("Restoring...");
    CountRestore(ctx, items);
    kwRet first = KW_OK;
    for (size_t i = 0; i < items.size(); ++i) {
        if (ctx.StopRequested()) {
            first = ERR_USER_CANCEL;
            break;
        }
        VtfeItem* item = items[i];
        progress->SetItemText(item->Path());
        const kwRet rc = item->Kind() == KIND_PART_FOLDER
                             ? static_cast<VtfePrtFldr*>(item)->Restore(ctx, destination)
                             : static_cast<VtfePrtFile*>(item)->Restore(ctx, destination);
        if (rc == ERR_USER_CANCEL) {
            first = rc;
            break;
        }
        first = first != KW_OK ? first : rc;
    }
    progress.reset();
    const kwRet synced = ctx.SyncFolders();
    if (first == KW_OK)
        first = synced;
    ctx.ReportSkipped();
    ctx.ReportFailures();
    if (first != KW_OK && first != ERR_USER_CANCEL && ctx.reported == 0)
        ui_.Message(
            QString("Error %1.\n%2").arg(first).arg(QString::fromStdString(ErrorText(first))),
            "Restore", MsgIcon::Error, MsgButtons::Ok);
    return first;
}

} // namespace kw::app
