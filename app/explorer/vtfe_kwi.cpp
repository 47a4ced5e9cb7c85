#include "app/explorer/vtfe_kwi.h"

#include "app/engine_facade.h"
#include "app/explorer/access_info.h"
#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_prt.h"
#include "app/missing_volumes.h"
#include "app/ui_callback.h"
#include "app/ui_services.h"
#include "app/wait_cursor.h"
#include "platform/vfs/vfs.h"

#include <QTreeWidgetItem>

namespace kw::app {
namespace {

constexpr uint32_t kRootNameSize = 32;
constexpr uint32_t kDisplayNameSize = 512;

} // namespace

VtfeKWI::VtfeKWI(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name)
    : VtfeItem(host, tree, list, std::move(name), KIND_IMAGE) {
    checkExistence_ = true;
    if (host_ != nullptr) {
        callback_ = std::make_unique<VTFE_UI_CALLBACK>(host_->Ui());
        callback_->SetItem(this);
    }
}

VtfeKWI::~VtfeKWI() {
    if (access_ != nullptr)
        access_->Release();
}

void VtfeKWI::BuildPath(QTreeWidgetItem* parent) {
    if (parent == nullptr || (host_ != nullptr && parent == host_->RecentRoot()))
        path_ = name_;
    else
        path_ = JoinedPath(parent);
    fileName_ = path_.mid(path_.lastIndexOf('\\') + 1);
}

bool VtfeKWI::Insert(QTreeWidgetItem* parent, const QString& text) {
    const bool recent = host_ != nullptr && parent != nullptr && parent == host_->RecentRoot();
    if (!VtfeItem::Insert(parent, recent ? ShownPath(host_->Vfs(), path_) : text))
        return false;
    if (recent)
        node_->setToolTip(0, node_->text(0));
    return true;
}

void VtfeKWI::AddListRow() {
    vfs::VFS_ENTRY info;
    QString size, modified;
    if (host_->Vfs().GetFileInfo(path_.toStdString(), &info)) {
        size = FormatByteSize(info.size);
        modified = FormatFileTime(info.time, true);
    }
    AddRow({node_ != nullptr ? node_->text(0) : name_, size, "KWI File", modified});
}

// Takes the other tree's access to the same image, else opens it; false
// when it could not be opened (the user was told, unless they cancelled).
bool VtfeKWI::Open() {
    if (openFailed_)
        return false; // told once; Refresh (CloseImage) tries again
    if (auto* twin = static_cast<VtfeKWI*>(host_->ImageTwin(this)); twin && twin->access_) {
        access_ = twin->access_;
        access_->AddRef();
        return true;
    }
    const std::string host = HostPath();
    std::string change;
    if (!host_->Vfs().Root().Table().ToHost(ChangeFilePath(path_).toStdString(), &change))
        change = ChangeFilePath(path_).toStdString();
    // A volume of the set that is missing is asked for by name.
    const auto code = uint32_t(WithMissingVolumes(host_->Ui(), host, [&] {
        uint32_t opened = 0;
        access_ = OpenImageAccess(host, change, callback_.get(), &opened);
        return access_ != nullptr ? 0 : int32_t(opened);
    }));
    if (access_ != nullptr)
        return true;
    openFailed_ = code != ERR_USER_CANCEL;
    if (code != ERR_USER_CANCEL)
        host_->Ui().Message(QString("Error %1: Image file could not be accessed.").arg(code),
                            "Image Access Creation Error", MsgIcon::Error, MsgButtons::Ok);
    return false;
}

std::string VtfeKWI::HostPath() const {
    return ToHostPath(host_->Vfs(), path_);
}

bool VtfeKWI::Expand(bool force) {
    TWaitCursor wait;
    if (populated_ && !force)
        return true;
    if (access_ != nullptr && populated_)
        return true;
    busy_ = true;
    bool added = false;
    if (access_ != nullptr || Open()) {
        added = ListPartitions();
        if (!added && node_ != nullptr && node_->childCount() == 0) {
            hasChildren_ = false;
            UpdateChildMark();
            busy_ = false;
            return false;
        }
    }
    hasChildren_ = true;
    UpdateChildMark();
    busy_ = false;
    return added;
}

// One partition item per root entry that the node does not show yet.
bool VtfeKWI::ListPartitions() {
    char name[kRootNameSize] = {};
    uint32_t attributes = 0;
    IMGACCESS_ITERATOR* it =
        access_->FindFirst("\\", name, sizeof name, &attributes, nullptr, nullptr);
    if (it == nullptr)
        return false;
    bool added = false;
    do {
        const std::string path = std::string("\\") + name;
        char display[kDisplayNameSize] = {};
        uint32_t index = 0;
        if (access_->GetDisplayName(path.c_str(), display, sizeof display) == 0 ||
            access_->GetPartitionIndex(path.c_str(), &index) != 0)
            continue;
        bool shown = false;
        for (VtfeItem* child : ChildItems(node_))
            shown =
                shown || (child->Kind() == KIND_PARTITION &&
                          QString::fromStdString(static_cast<VtfePrt*>(child)->Info().GetPath())
                                  .compare(QString::fromStdString(path), Qt::CaseInsensitive) == 0);
        if (shown)
            continue;
        CreateItem<VtfePrt>(node_, host_, tree_, list_, QString::fromUtf8(display),
                            std::make_unique<ACCESS_INFO>(path, access_), index);
        added = true;
    } while (it->Next(name, sizeof name, &attributes, nullptr, nullptr));
    it->Release();
    if (added) {
        populated_ = true;
        if (node_ != nullptr)
            node_->sortChildren(0, Qt::AscendingOrder);
    }
    return added;
}

void VtfeKWI::CloseImage() {
    if (node_ != nullptr)
        for (QTreeWidgetItem* child : node_->takeChildren())
            delete child;
    if (access_ != nullptr)
        access_->Release();
    access_ = nullptr;
    openFailed_ = false;
    populated_ = false;
    hasChildren_ = true;
    UpdateChildMark();
}

void VtfeKWI::ShowContents(bool focus) {
    ShowChildRows({"Name,COL_WIDTH_NAME,AL_RIGHT", "Drive Letter,COL_WIDTH_DRVLTR,AL_LEFT",
                   "File System,COL_WIDTH_FILESYS,AL_LEFT", "Pri/Log,COL_WIDTH_PRILOG,AL_LEFT",
                   "Date,COL_WIDTH_DATE,AL_LEFT", "Size,COL_WIDTH_SIZE,AL_RIGHT"},
                  focus, true);
}

void VtfeKWI::RemoveIfMissing(bool ask) {
    if (host_->Vfs().FileExists(path_.toStdString()))
        return;
    if (ask && host_->Ui().Message("The selected image file no longer exists. Do you want to "
                                   "remove it from the list?",
                                   "File Not Found", MsgIcon::Question,
                                   MsgButtons::YesNo) != MsgAnswer::Yes)
        return;
    DeleteNode();
}

} // namespace kw::app
