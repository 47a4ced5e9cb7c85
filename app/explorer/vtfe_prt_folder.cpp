#include "app/explorer/vtfe_prt_folder.h"

#include "app/engine_facade.h"
#include "app/explorer/explorer_node.h"
#include "app/explorer/restore_file.h"
#include "app/explorer/vtfe_drive.h"
#include "app/explorer/vtfe_folder.h"
#include "app/ui_services.h"
#include "app/wait_cursor.h"
#include "platform/vfs/vfs.h"

#include <QLocale>
#include <QTreeWidget>

namespace kw::app {
namespace {

constexpr uint32_t kNameSize = 512;
// Folders nested deeper than this inside an image are taken for a loop.

bool Dotted(const char* name) {
    return name[0] == '.';
}

bool IsDir(uint32_t attributes) {
    return (attributes & IMGACCESS_ATTR_DIRECTORY) != 0;
}

// Shows why a folder of the image could not be restored; gives the code.
kwRet FolderFailure(RestoreContext& ctx, const QString& folder, kwRet code,
                    const QString& reason = QString()) {
    ctx.ReportFailure(
        QString("Unable to restore the folder %1.\n%2")
            .arg(folder, reason.isEmpty() ? QString::fromStdString(ErrorText(code)) : reason));
    return ctx.cancelled ? ERR_USER_CANCEL : code;
}

// The child node of parent whose item is a folder called name, or null.
VtfeItem* FolderChild(QTreeWidgetItem* parent, const QString& name) {
    for (VtfeItem* child : VtfeItem::ChildItems(parent))
        if ((child->Kind() == KIND_FOLDER || child->Kind() == KIND_RESTORED_FOLDER) &&
            child->Name() == name)
            return child;
    return nullptr;
}

// Gives a restored file a row under the item that shows its folder.
void AddRestoredFile(ExplorerHost* host, VtfeItem* shown, const QString& name) {
    if (shown == nullptr)
        return;
    auto file = std::make_unique<VtfeFile>(host, shown->Node(), shown->List(), name);
    file->Attach(shown->Node());
    if (shown->Kind() == KIND_DRIVE)
        static_cast<VtfeDrive*>(shown)->AddListItem(std::move(file));
    else
        static_cast<VtfeFolder*>(shown)->AddFile(std::move(file));
}

} // namespace

QString AttributeLetters(uint32_t attributes) {
    QString out;
    if (attributes & IMGACCESS_ATTR_READ_ONLY)
        out += 'R';
    if (attributes & IMGACCESS_ATTR_HIDDEN)
        out += 'H';
    if (attributes & IMGACCESS_ATTR_SYSTEM)
        out += 'S';
    if (attributes & IMGACCESS_ATTR_ARCHIVE)
        out += 'A';
    return out;
}

VtfeItem* ShowDestination(ExplorerHost* host, const QString& destination, const QString& name) {
    QTreeWidgetItem* root = host != nullptr ? host->ComputerRoot() : nullptr;
    if (root == nullptr || destination.startsWith("\\\\") || destination.size() < 2 ||
        destination[1] != ':')
        return nullptr;
    VtfeItem* at = nullptr;
    for (VtfeItem* drive : VtfeItem::ChildItems(root))
        if (drive->Kind() == KIND_DRIVE &&
            drive->Path().compare(destination.left(2), Qt::CaseInsensitive) == 0)
            at = drive;
    const QString rest =
        name.isEmpty() ? destination.mid(3) : JoinHostPath(destination, name).mid(3);
    for (const QString& part : rest.split('\\', Qt::SkipEmptyParts)) {
        if (at == nullptr || at->Node() == nullptr)
            return nullptr;
        VtfeItem* next = FolderChild(at->Node(), part);
        if (next == nullptr)
            next = CreateItem<VtfeFolder>(at->Node(), host, at->Tree(), at->List(), part,
                                          KIND_RESTORED_FOLDER);
        at = next;
    }
    return at;
}

// ---- VtfeImageDir

VtfeImageDir::VtfeImageDir(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name,
                           ItemKind kind, std::unique_ptr<ACCESS_INFO> info)
    : VtfeItem(host, tree, list, std::move(name), kind), info_(std::move(info)) {}

VtfeImageDir::~VtfeImageDir() {
    ClearFiles();
}

void VtfeImageDir::ClearFiles() {
    files_.clear();
}

bool VtfeImageDir::ExpandFolders(int* subfolders) {
    if (subfolders != nullptr)
        *subfolders = 0;
    IMGACCESS* access = info_->GetAccess();
    if (access == nullptr)
        return false;
    busy_ = true;
    char name[kNameSize] = {};
    uint32_t attributes = 0;
    const std::string folder = info_->GetPath() + "\\";
    IMGACCESS_ITERATOR* it =
        access->FindFirstDirectory(folder.c_str(), name, sizeof name, &attributes, nullptr);
    bool added = false;
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, nullptr, nullptr)) {
        if (Dotted(name) || !IsDir(attributes))
            continue;
        if (subfolders != nullptr)
            ++*subfolders;
        const std::string path = folder + name;
        bool shown = false;
        for (VtfeItem* child : ChildItems(node_))
            shown = shown ||
                    (child->Kind() == KIND_PART_FOLDER &&
                     QString::fromStdString(static_cast<VtfeImageDir*>(child)->Info().GetPath())
                             .compare(QString::fromStdString(path), Qt::CaseInsensitive) == 0);
        if (shown)
            continue;
        CreateItem<VtfePrtFldr>(node_, host_, tree_, list_, QString::fromUtf8(name),
                                std::make_unique<ACCESS_INFO>(path, access));
        added = true;
    }
    NoteListing(access);
    if (it != nullptr)
        it->Release();
    if (added) {
        populated_ = true;
        node_->sortChildren(0, Qt::AscendingOrder);
    }
    busy_ = false;
    return added;
}

void VtfeImageDir::ShowEntries(bool focus) {
    ClearFiles();
    ShowChildRows({"Name,COL_WIDTH_NAME,AL_LEFT", "Size,COL_WIDTH_SIZE,AL_RIGHT",
                   "Type,COL_WIDTH_TYPE,AL_LEFT", "Modified,COL_WIDTH_DATE,AL_LEFT",
                   "Attributes,COL_WIDTH_ATTRIB,AL_LEFT"},
                  focus, false);
    if (listingError_ == KW_OK || listingErrorShown_ || host_ == nullptr)
        return;
    listingErrorShown_ = true;
    host_->Ui().Message(QString("Unable to list the folder %1.\n%2")
                            .arg(path_, QString::fromStdString(ErrorText(listingError_))),
                        "Error", MsgIcon::Error, MsgButtons::Ok);
}

// A listing that fails at once gives no iterator, one that fails part way
// stops early; both leave their code with the image.
void VtfeImageDir::NoteListing(IMGACCESS* access) {
    listingError_ = ImageListingError(access);
}

void VtfeImageDir::ExtraRows() {
    IMGACCESS* access = info_->GetAccess();
    if (access == nullptr)
        return;
    char name[kNameSize] = {};
    uint32_t attributes = 0;
    uint64_t time = 0, size = 0;
    const std::string folder = info_->GetPath() + "\\";
    IMGACCESS_ITERATOR* it =
        access->FindFirst(folder.c_str(), name, sizeof name, &attributes, &time, &size);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, &time, &size)) {
        if (!Dotted(name) && !IsDir(attributes))
            files_.push_back(std::make_unique<VtfePrtFile>(
                host_, this, list_, QString::fromUtf8(name), attributes, time, size));
    }
    NoteListing(access);
    if (it != nullptr)
        it->Release();
    if (listingError_ != KW_OK)
        AddRow({QString("Unable to list the folder: %1")
                    .arg(QString::fromStdString(ErrorText(listingError_)).trimmed())});
}

// ---- VtfePrtFldr

VtfePrtFldr::VtfePrtFldr(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name,
                         std::unique_ptr<ACCESS_INFO> info)
    : VtfeImageDir(host, tree, list, std::move(name), KIND_PART_FOLDER, std::move(info)) {}

void VtfePrtFldr::AddListRow() {
    AddRow({name_, QString(), "KWI Partition Folder", QString()});
}

bool VtfePrtFldr::Expand(bool) {
    TWaitCursor wait;
    const bool added = ExpandFolders(&subfolders_);
    hasChildren_ = subfolders_ > 0;
    UpdateChildMark();
    return added;
}

kwRet VtfePrtFldr::Restore(RestoreContext& ctx, const QString& destination) {
    IMGACCESS* access = info_->GetAccess();
    if (access == nullptr)
        return FolderFailure(ctx, path_, ERR_IMG_READ);
    if (!SafeEntryName(name_.toStdString())) {
        ctx.skipped << QString::fromStdString(info_->GetPath());
        return KW_OK;
    }
    if (ctx.depth >= kMaxRestoreDepth)
        return FolderFailure(ctx, path_, ERR_IMG_READ, "Its folders are nested too deeply.");
    if (!populated_)
        Expand(false);
    VtfeItem* shown = ShowDestination(host_, destination, name_);
    const QString target = JoinHostPath(destination, name_);
    uint32_t attributes = 0;
    const bool exists = ctx.vfs.GetAttributes(target.toStdString(), &attributes) &&
                        (attributes & vfs::ATTR_DIRECTORY) != 0;
    if (!exists && !ctx.vfs.CreateDirectory(target.toStdString())) {
        ctx.ReportFailure(
            QString("Unable to create the directory %1.").arg(ShownPath(ctx.vfs, target)));
        if (shown != nullptr && shown->Kind() == KIND_RESTORED_FOLDER)
            shown->DeleteNode();
        return ctx.cancelled ? ERR_USER_CANCEL : ERR_FILE_CREATE;
    }
    if (!exists)
        ctx.unsynced.insert(destination);
    kwRet rc = RestoreFiles(ctx, target, shown);
    if (rc == ERR_USER_CANCEL)
        return rc;
    ++ctx.depth;
    for (VtfeItem* child : ChildItems(node_)) {
        if (ctx.StopRequested()) {
            rc = ERR_USER_CANCEL;
            break;
        }
        if (child->Kind() != KIND_PART_FOLDER)
            continue;
        ctx.ShowName(child->Path());
        const kwRet childRc = static_cast<VtfePrtFldr*>(child)->Restore(ctx, target);
        if (childRc == ERR_USER_CANCEL) {
            rc = childRc;
            break;
        }
        rc = rc != KW_OK ? rc : childRc;
    }
    --ctx.depth;
    return rc;
}

// The files directly in this folder; an empty folder restores nothing.
kwRet VtfePrtFldr::RestoreFiles(RestoreContext& ctx, const QString& target, VtfeItem* shown) {
    IMGACCESS* access = info_->GetAccess();
    char name[kNameSize] = {};
    uint32_t attributes = 0;
    uint64_t time = 0, size = 0;
    const std::string folder = info_->GetPath() + "\\";
    IMGACCESS_ITERATOR* it =
        access->FindFirst(folder.c_str(), name, sizeof name, &attributes, &time, &size);
    kwRet rc = it == nullptr ? ImageListingError(access) : KW_OK;
    if (rc != KW_OK)
        rc = FolderFailure(ctx, path_, rc);
    for (bool more = it != nullptr; more;
         more = it->Next(name, sizeof name, &attributes, &time, &size)) {
        if (IsDir(attributes))
            continue;
        ctx.ShowName(path_ + '\\' + QString::fromUtf8(name));
        const kwRet fileRc = RestoreFile(ctx, access, folder, name, target, attributes, time, size);
        if (fileRc == ERR_USER_CANCEL || ctx.StopRequested()) {
            rc = ERR_USER_CANCEL;
            break;
        }
        if (fileRc == KW_OK && SafeEntryName(name))
            AddRestoredFile(host_, shown, QString::fromUtf8(name));
        rc = rc != KW_OK ? rc : fileRc;
    }
    if (it != nullptr) {
        const kwRet listing = ImageListingError(access);
        if (listing != KW_OK)
            FolderFailure(ctx, path_, listing);
        rc = rc != KW_OK ? rc : listing;
        it->Release();
    }
    return rc;
}

// ---- VtfePrtFile

VtfePrtFile::VtfePrtFile(ExplorerHost* host, VtfeImageDir* folder, QTreeWidget* list, QString name,
                         uint32_t attributes, uint64_t time, uint64_t size)
    : VtfeItem(host, nullptr, list, std::move(name), KIND_PART_FILE), folder_(folder),
      attributes_(attributes), time_(time), size_(size) {
    path_ = JoinHostPath(folder_->Path(), name_);
    SetIcons();
    AddListRow();
}

void VtfePrtFile::AddListRow() {
    AddRow({name_, QLocale().toString(qulonglong(size_)), "KWI Partition File",
            FormatFileTime(time_, true), AttributeLetters(attributes_)});
}

kwRet VtfePrtFile::Restore(RestoreContext& ctx, const QString& destination) {
    IMGACCESS* access = folder_->Info().GetAccess();
    if (access == nullptr) {
        ctx.ReportFailure(QString("Unable to restore the file %1.\n%2")
                              .arg(path_, QString::fromStdString(ErrorText(ERR_IMG_READ))));
        return ERR_IMG_READ;
    }
    TWaitCursor wait;
    ctx.ui.ProcessEvents();
    const kwRet rc = RestoreFile(ctx, access, folder_->Info().GetPath() + "\\", name_.toStdString(),
                                 destination, attributes_, time_, size_);
    if (rc == KW_OK && SafeEntryName(name_.toStdString()))
        AddRestoredFile(host_, ShowDestination(host_, destination, QString()), name_);
    return rc;
}

} // namespace kw::app
