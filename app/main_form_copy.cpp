// The main window's copy to image: the copied partitions (or the selected
// image's) go through the copy dialog into a new or existing image, which
// then joins the recent images.
#include "app/dialogs/copy_to_image_dlg.h"
#include "app/dialogs/progress_dlg.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/main_form.h"
#include "app/ui_services.h"

#include <QLineEdit>
#include <QLocale>
#include <QTabWidget>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

namespace kw::app {
void TMainForm::CopyToImgMnuItmClick() {
    copiedItems_.clear();
    CopyToImgExecute();
}

void TMainForm::CopyToImgExecute() {
    if (!dragging_ && copiedItems_.empty()) {
        FillCopiedFromSelection();
        destItem_ = nullptr;
    }
    if (copiedItems_.empty())
        return;
    selectedItem_ = copiedItems_.front();
    VtfeItem* source = selectedItem_;
    const QString sourceImage = SourceImagePath(source);
    if (sourceImage.isEmpty() && !IsHiddenPartitionItem(source))
        return;
    if (destItem_ != nullptr && HostPathOf(destItem_->Path()) == HostPathOf(sourceImage)) {
        ui_.Message("Source and destination cannot be the same file.", "Invalid Destination",
                    MsgIcon::Information, MsgButtons::Ok);
        if (destItem_->Node() != nullptr && destItem_->Tree() == currentTree_)
            currentTree_->setCurrentItem(destItem_->Node());
        return;
    }
    if (source->Kind() == KIND_IMAGE && !source->Expand(false))
        return; // not opened (a refused password, a damaged image): already told
    const int page = PageControl->currentIndex();
    QTreeWidget* tree = currentTree_;
    TCopyToImageDlg dlg(MakeCopyContext(), this);
    dlg.SetSourceItem(source);
    dlg.SetDestItem(destItem_);
    dlg.FileSizeEd->setText(QLocale().toString(qulonglong(defaults_.splitSize)));
    if (destItem_ != nullptr && destItem_->Kind() == KIND_IMAGE &&
        dlg.SetDestination(destItem_->Path()) == int32_t(ERR_USER_CANCEL))
        return;
    const bool accepted = ui_.ShowModal(dlg) == QDialog::Accepted && !dlg.Destination().isEmpty();
    copiedItems_.clear();
    if (!accepted)
        return;
    if (!dlg.Appended())
        CloseImageItems(dlg.Destination()); // what showed the old file is stale
    AddRecentImage(dlg.Destination());
    RefreshExecute();
    PageControl->setCurrentIndex(page);
    currentTree_ = tree;
    currentTree_->setFocus();
}

CopyContext TMainForm::MakeCopyContext() {
    return CopyContext{vfs_,
                       ui_,
                       settings_,
                       keys_,
                       BuildImageFilter(),
                       copiedItems_,
                       TreeIcon(10, 10),
                       [this](const QString& path) { CloseImageItems(path); },
                       [this](VtfeItem* dest, const QString& image) { ShowNewImage(dest, image); },
                       ShowOperationProgress};
}

// After a new image was made in a folder of the explorer: the folder shows
// it and it becomes the selection. The folder is looked up again by its
// path, since the refresh may have made its items anew.
void TMainForm::ShowNewImage(VtfeItem* dest, const QString& image) {
    const QString folder = dest->Path();
    const bool explore = dest->Tree() == ExploreTree;
    RefreshExecute(); // dest may be gone from here on
    if (!explore)
        return;
    for (QTreeWidgetItemIterator it(ExploreTree); *it != nullptr; ++it) {
        VtfeItem* item = VtfeItem::OfNode(*it);
        if (item == nullptr || item->Kind() >= KIND_IMAGE || item->Path() != folder)
            continue;
        (*it)->setExpanded(true);
        item->Expand(true);
        for (VtfeItem* child : VtfeItem::ChildItems(*it)) {
            if (child->Kind() == KIND_IMAGE && HostPathOf(child->Path()) == HostPathOf(image)) {
                ExploreTree->setCurrentItem(child->Node());
                ExploreTree->setFocus();
                return;
            }
        }
        return;
    }
}

std::string TMainForm::HostPathOf(const QString& path) const {
    return ToHostPath(vfs_, path);
}

void TMainForm::CloseImageItems(const QString& path) {
    const std::string wanted = HostPathOf(path);
    std::vector<VtfeKWI*> images;
    for (QTreeWidget* tree : {ExploreTree, RecentImgsTree})
        for (QTreeWidgetItemIterator it(tree); *it != nullptr; ++it)
            if (VtfeItem* item = VtfeItem::OfNode(*it);
                item != nullptr && item->Kind() == KIND_IMAGE)
                if (static_cast<VtfeKWI*>(item)->HostPath() == wanted)
                    images.push_back(static_cast<VtfeKWI*>(item));
    for (VtfeKWI* image : images)
        image->CloseImage();
}

} // namespace kw::app
