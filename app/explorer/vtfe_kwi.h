// The explorer item of one image file, in a folder or in the recent-images
// list. Opening the image and listing its partitions come with the image
// access; until then the item shows the file and does not expand.
#pragma once

#include "app/explorer/vtfe_item.h"

namespace kw::app {

class VtfeKWI final : public VtfeItem {
public:
    VtfeKWI(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name);

    // Under the "My Recent Images" root the name is the whole path.
    void BuildPath(QTreeWidgetItem* parent) override;
    void AddListRow() override;
    bool Expand(bool force) override;
    bool HasChildren() override { return false; }
    void SetIcons() override { icon_ = selectedIcon_ = 10; }
    void ShowContents(bool focus) override;

    // The part of the path after its last "\".
    const QString& FileName() const { return fileName_; }
    // Deletes the node when the file has gone; with ask set, only when the
    // user agrees.
    void RemoveIfMissing(bool ask);

private:
    QString fileName_;
};

} // namespace kw::app
