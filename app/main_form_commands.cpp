// The main window's item commands: copy, paste and drop, properties, when
// each command is available, and what the context menu offers for the
// selection.
#include "app/dialogs/image_properties_dlg.h"
#include "app/dialogs/partition_properties_dlg.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/explorer/vtfe_prt.h"
#include "app/main_form.h"
#include "app/wait_cursor.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QThread>
#include <QTreeWidget>

#include <algorithm>

namespace kw::app {
namespace {

bool IsImageOrPartition(const VtfeItem* item) {
    return item != nullptr && (item->Kind() == KIND_IMAGE || item->Kind() == KIND_PARTITION);
}

// What Copy to Image takes: an image, a partition of one, or a partition
// under "Hidden Partitions".
bool IsCopySource(const VtfeItem* item) {
    return IsImageOrPartition(item) || IsHiddenPartitionItem(item);
}

} // namespace

void TMainForm::CopyExecute() {
    TWaitCursor wait;
    FillCopiedFromSelection();
    if (copyPause > 0)
        QThread::msleep(copyPause);
    UpdateMenuStates();
}

// Images and partitions go into an image or a host folder; folders and
// files of a partition only into a host folder. The "My Recent Images"
// root is no folder of the host.
bool TMainForm::CanPasteOnto(const VtfeItem* destination) const {
    if (copiedItems_.empty() || destination == nullptr || destination->Node() == recentRoot_ ||
        OnReadOnlyHiddenPartition(destination))
        return false;
    const auto all = [this](auto test) {
        return std::all_of(copiedItems_.begin(), copiedItems_.end(),
                           [&test](const VtfeItem* i) { return test(i->Kind()); });
    };
    switch (destination->Kind()) {
    case KIND_DRIVE:
    case KIND_FOLDER:
        return all([](ItemKind k) { return k >= KIND_IMAGE; });
    case KIND_IMAGE:
        return all([](ItemKind k) { return k == KIND_IMAGE || k == KIND_PARTITION; });
    default:
        return false;
    }
}

void TMainForm::PasteExecute() {
    destItem_ = VtfeItem::OfNode(currentTree_->currentItem());
    PasteOrDrop();
}

void TMainForm::DropItemExecute() {
    PasteOrDrop();
}

// The first copied item decides: images and partitions are copied into an
// image in (or at) the destination, folders and files of a partition are
// restored into it.
void TMainForm::PasteOrDrop() {
    if (!CanPasteOnto(destItem_))
        return;
    const ItemKind kind = copiedItems_.front()->Kind();
    if (kind == KIND_IMAGE || kind == KIND_PARTITION) {
        pasting_ = true;
        CopyToImgExecute();
        pasting_ = false;
    } else if (kind == KIND_PART_FOLDER || kind == KIND_PART_FILE) {
        restoreFromTree_ = false;
        RestoreExecute();
        restoreFromTree_ = true;
    }
}

void TMainForm::PropertiesExecute() {
    VtfeItem* item = selectedItem_;
    if (item != nullptr && item->Kind() == KIND_IMAGE) {
        auto* image = static_cast<VtfeKWI*>(item);
        if (image->GetAccess() == nullptr)
            image->Expand(false); // a cancelled prompt leaves it closed
        if (image->GetAccess() == nullptr || image->GetAccess()->GetPartStore() == nullptr)
            return;
        ShowImageProperties(this, ui_, *image->GetAccess()->GetPartStore(),
                            ShownPath(vfs_, image->Path()));
    } else if (item != nullptr && item->Kind() == KIND_PARTITION) {
        auto* partition = static_cast<VtfePrt*>(item);
        IMGACCESS* access = partition->Info().GetAccess();
        if (access == nullptr || access->GetPartStore() == nullptr)
            return;
        const PartitionItemFacts facts{partition->Path(), partition->FileSystem(),
                                       partition->Node() != nullptr ? partition->Node()->icon(0)
                                                                    : QIcon()};
        ShowPartitionProperties(this, ui_, *access->GetPartStore(), partition->PartitionIndex(),
                                facts);
    }
}

// What each command needs of the selection. "The list has the focus" is
// where the selection was last made: the list or a tree.
void TMainForm::UpdateMenuStates() {
    VtfeItem* sel = selectedItem_;
    const ItemKind kind = sel != nullptr ? sel->Kind() : KIND_ROOT; // none acts as the root
    const qsizetype rows = ContentsList->selectedItems().size();
    const bool list = listSelected_;
    QTreeWidgetItem* node = sel != nullptr ? sel->Node() : nullptr;
    UpOneLevel->setEnabled(node != nullptr && node->parent() != nullptr);
    CopyToImg->setEnabled(IsCopySource(sel) && (!list || rows == 1));
    DeleteImg->setEnabled(kind == KIND_IMAGE && !OnReadOnlyHiddenPartition(sel));
    VerifyImg->setEnabled(kind == KIND_IMAGE && (!list || rows == 1));
    Restore->setEnabled(kind >= KIND_PART_FOLDER);
    Properties->setEnabled(IsImageOrPartition(sel) && (!list || rows <= 1));
    Copy->setEnabled(kind > KIND_FOLDER && (kind != KIND_IMAGE || !list || rows <= 1));
    Paste->setEnabled(CanPasteOnto(VtfeItem::OfNode(currentTree_->currentItem())));
    SelectAll->setEnabled(list || ContentsList->hasFocus());
    AddEntry->setEnabled(true);
    RemoveEntry->setEnabled(ShowsRecentPage() && kind == KIND_IMAGE);
    ClearList->setEnabled(ShowsRecentPage());
}

// The focus moving between the trees and the list moves the selection with
// it.
void TMainForm::FocusMoved(QWidget* now) {
    if (!ready_ || (now != ContentsList && now != currentTree_))
        return;
    listSelected_ = now == ContentsList;
    if (!listSelected_) {
        if (VtfeItem* item = VtfeItem::OfNode(currentTree_->currentItem()))
            selectedItem_ = item;
    } else if (QTreeWidgetItem* row = ContentsList->currentItem(); row && row->isSelected()) {
        if (VtfeItem* item = VtfeItem::OfRow(row))
            selectedItem_ = item;
    }
    UpdateMenuStates();
}

bool TMainForm::PopupMenu1Popup() {
    QTreeWidgetItem* row = ContentsList->currentItem();
    VtfeItem* item = listSelected_ && row != nullptr && row->isSelected()
                         ? VtfeItem::OfRow(row)
                         : VtfeItem::OfNode(currentTree_->currentItem());
    if (item != nullptr)
        selectedItem_ = item;
    UpdateMenuStates();
    const auto entry = [this](const char* name) { return PopupMenu1->findChild<QAction*>(name); };
    QAction* copyToImg = entry("CopyToImgMnuItm1");
    QAction* remove = entry("RemoveMnuItm");
    const std::initializer_list<QAction*> commands = {
        copyToImg, entry("DeleteImg2MnuItm"), entry("VerifyImg2MnuItm"), entry("Restore2MnuItm"),
        entry("Prop2MnuItm")};
    const std::initializer_list<QAction*> recent = {entry("PopupMenuSep1"), entry("AddEntryMnuItm"),
                                                    remove, entry("ClearListMnuItm")};
    const bool onRecent = ShowsRecentPage();
    const ItemKind kind = item != nullptr ? item->Kind() : KIND_ROOT;
    const QList<QAction*> all = PopupMenu1->actions();
    for (QAction* a : all)
        a->setVisible(onRecent || kind >= KIND_IMAGE);
    for (QAction* a : recent)
        a->setVisible(onRecent);
    if (onRecent && item != nullptr && item->Node() == recentRoot_) {
        for (QAction* a : commands)
            a->setVisible(false);
        entry("PopupMenuSep1")->setVisible(false);
        remove->setEnabled(false);
    } else if (kind >= KIND_IMAGE) {
        const bool one = !listSelected_ || ContentsList->selectedItems().size() == 1;
        const bool image = kind == KIND_IMAGE, partition = kind == KIND_PARTITION;
        copyToImg->setVisible((image || partition) && one);
        entry("VerifyImg2MnuItm")->setVisible(image && one);
        entry("Prop2MnuItm")->setVisible((image || partition) && one);
        entry("DeleteImg2MnuItm")->setVisible(image);
        entry("Restore2MnuItm")->setVisible(kind >= KIND_PART_FOLDER);
        entry("PopupMenuSep1")->setVisible(true);
        remove->setEnabled(image && onRecent);
    } else if (IsHiddenPartitionItem(item)) {
        copyToImg->setVisible(true); // the one command a hidden partition takes
    }
    return std::any_of(all.begin(), all.end(),
                       [](QAction* a) { return a->isVisible() && !a->isSeparator(); });
}

} // namespace kw::app
