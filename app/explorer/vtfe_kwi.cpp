#include "app/explorer/vtfe_kwi.h"

#include "app/explorer/explorer_utils.h"
#include "app/ui_services.h"
#include "platform/vfs/vfs.h"

namespace kw::app {

VtfeKWI::VtfeKWI(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name)
    : VtfeItem(host, tree, list, std::move(name), KIND_IMAGE) {
    checkExistence_ = true;
}

void VtfeKWI::BuildPath(QTreeWidgetItem* parent) {
    if (parent == nullptr || (host_ != nullptr && parent == host_->RecentRoot()))
        path_ = name_;
    else
        path_ = JoinedPath(parent);
    fileName_ = path_.mid(path_.lastIndexOf('\\') + 1);
}

void VtfeKWI::AddListRow() {
    vfs::VFS_ENTRY info;
    QString size, modified;
    if (host_->Vfs().GetFileInfo(path_.toStdString(), &info)) {
        size = FormatByteSize(info.size);
        modified = FormatFileTime(info.time, true);
    }
    AddRow({name_, size, "KWI File", modified});
}

bool VtfeKWI::Expand(bool) {
    return false; // opening images comes with the image access
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
