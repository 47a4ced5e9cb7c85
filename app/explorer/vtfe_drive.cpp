#include "app/explorer/vtfe_drive.h"

#include "app/explorer/vtfe_folder.h"
#include "app/explorer/vtfe_kwi.h"
#include "platform/vfs/vfs.h"

#include <QTreeWidget>

namespace kw::app {

VtfeDrive::VtfeDrive(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString caption,
                     DriveType type)
    : VtfeItem(host, tree, list, std::move(caption), KIND_DRIVE), type_(type) {}

VtfeDrive::~VtfeDrive() = default;

namespace {

bool IsFloppyPath(const QString& path) {
    return path.compare("A:", Qt::CaseInsensitive) == 0 ||
           path.compare("B:", Qt::CaseInsensitive) == 0;
}

} // namespace

void VtfeDrive::BuildPath(QTreeWidgetItem*) {
    path_ = DrivePathFromText(name_);
}

QString VtfeDrive::TypeText() const {
    switch (type_) {
    case DRIVETYPE_REMOVABLE:
        return IsFloppyPath(path_) ? "Floppy Disk" : "Removable Disk";
    case DRIVETYPE_FIXED:
    case DRIVETYPE_RAMDISK:
        return "Local Disk";
    case DRIVETYPE_REMOTE:
        return "Network Connection";
    case DRIVETYPE_CDROM:
        return "CD-ROM Disc";
    default:
        return {};
    }
}

void VtfeDrive::AddListRow() {
    uint64_t total = 0, free = 0;
    QString totalText, freeText;
    // A network share may answer slowly or not at all; its sizes are not
    // asked for while the list is filled.
    if (type_ != DRIVETYPE_REMOTE &&
        host_->Vfs().GetDiskSpace(path_.toStdString(), &total, &free)) {
        totalText = FormatByteSize(total);
        freeText = FormatByteSize(free);
    }
    AddRow({name_, TypeText(), totalText, freeText});
}

bool VtfeDrive::HasChildren() {
    if (type_ == DRIVETYPE_REMOVABLE || type_ == DRIVETYPE_CDROM || type_ == DRIVETYPE_REMOTE)
        return true;
    vfs::VFS_ENTRY entry;
    vfs::FILEITERATOR* it = host_->Vfs().FindFirst(path_.toStdString() + "\\", &entry);
    bool found = false;
    for (bool more = it != nullptr; more && !found; more = it->FindNext(&entry))
        found = (entry.attributes & vfs::ATTR_DIRECTORY) != 0 && !entry.name.starts_with('.');
    if (it != nullptr)
        it->Release();
    return found;
}

void VtfeDrive::SetIcons() {
    switch (type_) {
    case DRIVETYPE_REMOVABLE:
        icon_ = IsFloppyPath(path_) ? 3 : 4;
        break;
    case DRIVETYPE_FIXED:
    case DRIVETYPE_RAMDISK:
        icon_ = 5;
        break;
    case DRIVETYPE_CDROM:
        icon_ = 6;
        break;
    case DRIVETYPE_REMOTE:
        icon_ = 7;
        break;
    default:
        icon_ = 5; // a hidden partition shows as a local disk
        break;
    }
    selectedIcon_ = icon_;
}

bool VtfeDrive::Expand(bool force) {
    if (populated_ && !force)
        return true;
    QString search = path_;
    if (!search.startsWith('\\') && !search.contains('\\'))
        search += '\\';
    return ExpandFromFolder(search);
}

void VtfeDrive::ShowContents(bool focus) {
    ShowChildRows({"Name,COL_WIDTH_NAME,AL_LEFT", "Size,COL_WIDTH_SIZE,AL_RIGHT",
                   "Type,COL_WIDTH_TYPE,AL_LEFT", "Modified,COL_WIDTH_DATE,AL_LEFT"},
                  focus, true);
}

void VtfeDrive::ExtraRows() {
    for (auto& item : listItems_)
        item->AddListRow();
}

void VtfeDrive::AddListItem(std::unique_ptr<VtfeItem> item) {
    AddRestoredItem(listItems_, std::move(item));
}

void VtfeDrive::RemoveIfMissing() {
    if (type_ == DRIVETYPE_REMOVABLE || type_ == DRIVETYPE_CDROM)
        return;
    uint32_t state = 0;
    if (!host_->Vfs().GetMediaState(path_.toStdString(), &state) || (state & 0x01) == 0)
        DeleteNode();
}

} // namespace kw::app
