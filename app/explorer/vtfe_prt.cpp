#include "app/explorer/vtfe_prt.h"

#include "app/engine_facade.h"
#include "app/explorer/explorer_utils.h"
#include "app/ui_services.h"
#include "app/wait_cursor.h"

#include <QDate>
#include <QLocale>
#include <QTreeWidget>

namespace kw::app {
namespace {

constexpr uint32_t kNameSize = 260;
constexpr uint32_t kLogicalFlag = 0x04;
constexpr uint32_t kKindNtfs = 4;

} // namespace

VtfePrt::VtfePrt(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString displayName,
                 std::unique_ptr<ACCESS_INFO> info, uint32_t index)
    : VtfeImageDir(host, tree, list, std::move(displayName), KIND_PARTITION, std::move(info)),
      index_(index) {
    partName_ = name_.mid(name_.lastIndexOf('\\') + 1);
    LoadInfo();
}

// The properties of the part this item stands for, selected by its index.
void VtfePrt::LoadInfo() {
    IMGACCESS* access = info_->GetAccess();
    PART_STORE* store = access != nullptr ? access->GetPartStore() : nullptr;
    if (store == nullptr)
        return;
    if ((damage_ = store->SelectPart(index_)) != 0) {
        // Listed so that it is not lost from sight; nothing of its record is shown.
        driveLetter_ = "*";
        fileSystem_ = QString("Damaged (error %1)").arg(damage_);
        return;
    }
    const uint32_t letter = store->GetDriveLetter() & 0xFF;
    driveLetter_ = QChar(char16_t(letter >= 'A' && letter <= 'Z' ? letter : '*'));
    fsKind_ = store->GetFileSystemKind();
    partitionType_ = store->GetPartitionType();
    fileSystem_ = QString::fromStdString(FileSystemName(fsKind_, partitionType_));
    if (fileSystem_.isEmpty())
        fileSystem_ = "Other";
    priLog_ = (store->GetPartFlags() & kLogicalFlag) != 0 ? "Logical" : "Primary";
    const uint64_t sectorBytes = store->GetBytesPerSector();
    sizeBytes_ = sectorBytes * uint64_t(store->GetTotalSectors());
    usedBytes_ = uint64_t(store->GetUsedBlockCount()) * store->GetSectorsPerBlock() * sectorBytes;
    size_ = FormatByteSize(sizeBytes_);
    int32_t y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
    store->GetPartTime(&y, &m, &d, &hh, &mm, &ss);
    QDate date(y, m, d);
    if (!date.isValid())
        date = QDate(1980, 1, 1);
    date_ = QLocale().toString(date, QLocale::ShortFormat);
}

void VtfePrt::AddListRow() {
    AddRow({name_, driveLetter_, fileSystem_, priLog_, date_, size_});
}

void VtfePrt::SetIcons() {
    int icon = 18;
    if (partitionType_ == 0x01 || partitionType_ == 0x04 || partitionType_ == 0x06 ||
        partitionType_ == 0x0E || partitionType_ == 0x14 || partitionType_ == 0x16 ||
        partitionType_ == 0x1E || partitionType_ == 0x84)
        icon = 11;
    else if (partitionType_ == 0x0B || partitionType_ == 0x0C || partitionType_ == 0x1B ||
             partitionType_ == 0x1C)
        icon = 12;
    else if (fsKind_ == kKindNtfs)
        icon = 13;
    else if (fsKind_ == 7)
        icon = 14;
    else if (fsKind_ == 11)
        icon = 15;
    else if (fsKind_ == 12)
        icon = 16;
    else if (fsKind_ == 17)
        icon = 17;
    icon_ = selectedIcon_ = icon;
}

bool VtfePrt::CanBrowse() const {
    return FileSystemHasFiles(fsKind_);
}

bool VtfePrt::Expand(bool) {
    if (!browsable_)
        return false;
    if (damage_ != 0) { // said once; the item then shows the error in its place
        host_->Ui().Message(
            QString("Error %1: This partition of the image is damaged and cannot be opened.")
                .arg(damage_),
            "Error", MsgIcon::Error, MsgButtons::Ok);
        browsable_ = false;
        return false;
    }
    if (!CanBrowse()) {
        host_->Ui().Message("Restoring a file from this partition type is not currently supported.",
                            "Warning", MsgIcon::Warning, MsgButtons::Ok);
        browsable_ = false;
        return false;
    }
    TWaitCursor wait;
    return ExpandFolders();
}

void VtfePrt::ShowContents(bool focus) {
    if (!populated_ && !Expand(false) && !browsable_) {
        ClearFiles();
        list_->setUpdatesEnabled(false);
        list_->clear();
        AddRow({damage_ != 0 ? QString("Damaged partition (error %1).").arg(damage_)
                             : QString("File restore not supported.")});
        list_->setUpdatesEnabled(true);
        return;
    }
    ShowEntries(focus);
}

} // namespace kw::app
