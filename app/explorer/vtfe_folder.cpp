#include "app/explorer/vtfe_folder.h"

#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_drive.h"
#include "app/explorer/vtfe_kwi.h"
#include "app/ui_services.h"
#include "platform/vfs/vfs.h"

#include <QLocale>
#include <QTreeWidget>

#include <algorithm>

namespace kw::app {
namespace {

bool Hidden(const std::string& name) {
    return name.starts_with('.');
}

bool IsFolderEntry(const vfs::VFS_ENTRY& e) {
    return (e.attributes & vfs::ATTR_DIRECTORY) != 0;
}

QString WithSlash(const QString& path) {
    return path.endsWith('\\') ? path : path + '\\';
}

} // namespace

// ---- VtfeRoot

VtfeRoot::VtfeRoot(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name)
    : VtfeItem(host, tree, list, std::move(name), KIND_ROOT) {}

void VtfeRoot::SetIcons() {
    icon_ = selectedIcon_ = name_ == "Hidden Partitions" ? 2 : 1;
}

bool VtfeRoot::Expand(bool force) {
    if (!force)
        return true;
    busy_ = true;
    for (VtfeItem* child : ChildItems(node_))
        if (child->Kind() == KIND_DRIVE)
            static_cast<VtfeDrive*>(child)->RemoveIfMissing();
    if (name_ == "My Computer")
        BuildDriveItems(host_, tree_, list_, node_);
    busy_ = false;
    return true;
}

void VtfeRoot::ShowContents(bool focus) {
    ShowChildRows({"Name,COL_WIDTH_NAME,AL_RIGHT", "Type,COL_WIDTH_TYPE,AL_LEFT",
                   "Total Size,COL_WIDTH_SIZE,AL_RIGHT", "Unused Space,COL_WIDTH_SIZE,AL_RIGHT"},
                  focus, false);
}

// ---- VtfeFolder

VtfeFolder::VtfeFolder(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name,
                       ItemKind kind)
    : VtfeItem(host, tree, list, std::move(name), kind) {}

VtfeFolder::~VtfeFolder() = default;

void VtfeFolder::SetIcons() {
    icon_ = kind_ == KIND_RESTORED_FOLDER ? 22 : 8;
    selectedIcon_ = kind_ == KIND_RESTORED_FOLDER ? 23 : 9;
}

void VtfeFolder::AddListRow() {
    vfs::VFS_ENTRY info;
    QString modified;
    if (host_->Vfs().GetFileInfo(path_.toStdString(), &info))
        modified = FormatFileTime(info.time, true);
    AddRow({name_, QString(),
            kind_ == KIND_RESTORED_FOLDER ? "Restored File Folder" : "File Folder", modified});
}

bool VtfeFolder::HasChildren() {
    return FolderHasChildren(host_, path_);
}

bool VtfeFolder::Expand(bool force) {
    if (populated_ && !force)
        return true;
    // The recent images' root is no host folder: its entries are the list,
    // and one whose file has gone is offered for removal when selected,
    // never dropped unasked.
    if (host_ != nullptr && node_ != nullptr && node_ == host_->RecentRoot()) {
        populated_ = true;
        return node_->childCount() > 0;
    }
    return ExpandFromFolder(WithSlash(path_));
}

void VtfeFolder::ShowContents(bool focus) {
    ShowChildRows({"Name,COL_WIDTH_NAME,AL_LEFT", "Size,COL_WIDTH_SIZE,AL_RIGHT",
                   "Type,COL_WIDTH_TYPE,AL_LEFT", "Modified,COL_WIDTH_DATE,AL_LEFT"},
                  focus, false);
}

void VtfeFolder::ExtraRows() {
    for (auto& file : restoredFiles_)
        file->AddListRow();
}

bool VtfeFolder::AddFile(std::unique_ptr<VtfeItem> file) {
    AddRestoredItem(restoredFiles_, std::move(file));
    return true;
}

void AddRestoredItem(std::vector<std::unique_ptr<VtfeItem>>& list, std::unique_ptr<VtfeItem> item) {
    const bool listed = std::any_of(list.begin(), list.end(), [&item](const auto& known) {
        return known->Name() == item->Name();
    });
    if (!listed)
        list.push_back(std::move(item));
}

void VtfeFolder::RemoveIfMissing() {
    uint32_t attributes = 0;
    if (!host_->Vfs().GetAttributes(path_.toStdString(), &attributes) ||
        (attributes & vfs::ATTR_DIRECTORY) == 0)
        DeleteNode();
}

// ---- VtfeFile

VtfeFile::VtfeFile(ExplorerHost* host, QTreeWidgetItem* parent, QTreeWidget* list, QString name,
                   ItemKind kind)
    : VtfeItem(host, nullptr, list, std::move(name), kind) {
    BuildPath(parent);
    SetIcons();
}

void VtfeFile::AddListRow() {
    vfs::VFS_ENTRY info;
    uint64_t size = host_->Vfs().GetFileInfo(path_.toStdString(), &info) ? info.size : 0;
    AddRow({name_, QLocale().toString(static_cast<qulonglong>(size)), "Restored File", QString()});
}

// ---- shared by folders and drives

void RemoveMissingChildren(QTreeWidgetItem* node) {
    for (VtfeItem* child : VtfeItem::ChildItems(node)) {
        if (child->Kind() == KIND_FOLDER)
            static_cast<VtfeFolder*>(child)->RemoveIfMissing();
        else if (child->Kind() == KIND_IMAGE)
            static_cast<VtfeKWI*>(child)->RemoveIfMissing(child->Host()->ShowsRecentPage());
    }
}

bool AddFolderEntries(VtfeItem* parent, const QString& searchPath) {
    ExplorerHost* host = parent->Host();
    QTreeWidgetItem* node = parent->Node();
    if (node == nullptr)
        return false;
    vfs::VFS_ENTRY e;
    vfs::FILEITERATOR* it = host->Vfs().FindFirst(searchPath.toStdString(), &e);
    bool added = false;
    for (bool more = it != nullptr; more; more = it->FindNext(&e)) {
        if (Hidden(e.name))
            continue;
        QString name = QString::fromStdString(e.name);
        bool folder = IsFolderEntry(e);
        if (!folder && !IsImageFile(name, host->ImageExtensions()))
            continue;
        bool known = false;
        for (int i = 0; i < node->childCount() && !known; ++i)
            known = node->child(i)->text(0) == name;
        if (known)
            continue;
        if (folder)
            CreateItem<VtfeFolder>(node, host, parent->Tree(), parent->List(), name);
        else
            CreateItem<VtfeKWI>(node, host, parent->Tree(), parent->List(), name);
        added = true;
    }
    if (it != nullptr)
        it->Release();
    return added;
}

bool FolderHasChildren(ExplorerHost* host, const QString& path) {
    vfs::VFS_ENTRY e;
    vfs::FILEITERATOR* it = host->Vfs().FindFirst(WithSlash(path).toStdString(), &e);
    bool found = false;
    for (bool more = it != nullptr; more && !found; more = it->FindNext(&e))
        found = !Hidden(e.name) && (IsFolderEntry(e) || IsImageFile(QString::fromStdString(e.name),
                                                                    host->ImageExtensions()));
    if (it != nullptr)
        it->Release();
    return found;
}

} // namespace kw::app
