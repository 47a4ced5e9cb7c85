// The explorer item of one image file, in a folder or in the recent-images
// list. Expanding it opens the image through the image access and makes
// one partition item per stored partition. It owns the open image access
// (one reference) and the callback object the library asks on its behalf.
#pragma once

#include "app/explorer/vtfe_item.h"

#include <memory>

class IMGACCESS;

namespace kw::app {

class VTFE_UI_CALLBACK;

class VtfeKWI final : public VtfeItem {
public:
    VtfeKWI(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name);
    ~VtfeKWI() override;

    // Under the "My Recent Images" root the name is the whole path.
    void BuildPath(QTreeWidgetItem* parent) override;
    // Under the recent root the node shows the host path, also as its tip.
    bool Insert(QTreeWidgetItem* parent, const QString& text) override;
    void AddListRow() override;
    // Opens the image (sharing the other tree's access to it when there is
    // one) and lists its partitions.
    bool Expand(bool force) override;
    bool HasChildren() override { return true; }
    void SetIcons() override { icon_ = selectedIcon_ = 10; }
    void ShowContents(bool focus) override;

    // The part of the path after its last "\".
    const QString& FileName() const { return fileName_; }
    // Deletes the node when the file has gone; with ask set, only when the
    // user agrees.
    void RemoveIfMissing(bool ask);

    // Drops the partitions and the image access; the item can be expanded again.
    void CloseImage();
    IMGACCESS* GetAccess() const { return access_; }
    VTFE_UI_CALLBACK* GetCallback() const { return callback_.get(); }
    const QString& GetPassword() const { return password_; }
    void SetPassword(const QString& text) { password_ = text; }
    // The image's path on the host (the path itself when it has no host form).
    std::string HostPath() const;

private:
    bool Open();
    bool ListPartitions();

    QString fileName_;
    QString password_;
    std::unique_ptr<VTFE_UI_CALLBACK> callback_;
    IMGACCESS* access_ = nullptr;
    bool openFailed_ = false; // the failure was shown; not tried again until closed
};

} // namespace kw::app
