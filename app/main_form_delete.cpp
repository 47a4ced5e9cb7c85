// The main window's delete image command: the selected images, each with
// every file of its set, after the user's confirmation.
#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/image_sets.h"
#include "app/main_form.h"
#include "app/missing_volumes.h"
#include "app/ui_callback.h"
#include "app/ui_services.h"
#include "platform/vfs/vfs.h"

#include <QTreeWidget>

namespace kw::app {
namespace {} // namespace

// Names the image and how many files its set has on disk.
QString TMainForm::DeleteQuestion(VtfeItem* image) const {
    const std::string host = ToHostPath(vfs_, image->Path());
    const int files = VolumeFilesOf(host);
    return QString("If you continue, the image %1 will be deleted%2.\nAre you sure you want to "
                   "continue?")
        .arg(QString::fromStdString(host),
             files > 1 ? QString(" with all %1 files of its set").arg(files) : QString());
}

bool TMainForm::DeleteImageFile(VtfeItem* item) {
    if (item == nullptr || item->Kind() != KIND_IMAGE)
        return false;
    auto* image = static_cast<VtfeKWI*>(item);
    const QString path = image->Path();
    CloseImageItems(path);
    const int32_t rc = DeleteImageSet(vfs_, path, image->GetCallback());
    if (rc == int32_t(ERR_USER_CANCEL))
        return false;
    if (rc != 0) { // also when the file is still there
        ui_.Message(QString("Cannot delete file %1.").arg(ShownPath(vfs_, path)), "Error",
                    MsgIcon::Error, MsgButtons::Ok);
        return false;
    }
    return true;
}

void TMainForm::DeleteImgExecute() {
    if (selectedItem_ == nullptr || selectedItem_->Kind() != KIND_IMAGE ||
        OnReadOnlyHiddenPartition(selectedItem_))
        return;
    if (listSelected_) {
        DeleteListedImages();
    } else if (ui_.Message(DeleteQuestion(selectedItem_), "Confirm", MsgIcon::Question,
                           MsgButtons::YesNo) == MsgAnswer::Yes) {
        VtfeItem* image = selectedItem_;
        QTreeWidgetItem* parent = image->Node() != nullptr ? image->Node()->parent() : nullptr;
        if (!DeleteImageFile(image))
            return;
        // The parent is selected first: the tree then never selects a node
        // whose item is going.
        if (parent != nullptr && image->Tree() == currentTree_)
            currentTree_->setCurrentItem(parent);
        image->DeleteNode();
        selectedItem_ = VtfeItem::OfNode(parent);
    }
    UpdateMenuStates();
}

// The selected rows from the last up, each asked about until the user answers
// for all of them.
void TMainForm::DeleteListedImages() {
    const QList<QTreeWidgetItem*> rows = ContentsList->selectedItems();
    std::vector<VtfeItem*> images;
    for (int i = ContentsList->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* row = ContentsList->topLevelItem(i);
        VtfeItem* item = VtfeItem::OfRow(row);
        if (row->isSelected() && item != nullptr && item->Kind() == KIND_IMAGE)
            images.push_back(item);
    }
    const MsgButtons buttons = rows.size() > 1 ? MsgButtons::YesNoAllCancel : MsgButtons::YesNo;
    bool ask = true;
    for (VtfeItem* image : images) {
        if (ask) {
            const MsgAnswer a =
                ui_.Message(DeleteQuestion(image), "Confirm", MsgIcon::Question, buttons);
            if (a == MsgAnswer::NoToAll || a == MsgAnswer::Cancel)
                return;
            if (a == MsgAnswer::No)
                continue;
            ask = a != MsgAnswer::YesToAll;
        }
        QTreeWidgetItem* parent = image->Node() != nullptr ? image->Node()->parent() : nullptr;
        if (!DeleteImageFile(image))
            continue;
        selectedItem_ = VtfeItem::OfNode(parent);
        image->DeleteNode(); // its list row goes with it
    }
}

} // namespace kw::app
