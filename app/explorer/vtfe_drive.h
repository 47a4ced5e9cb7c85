// The explorer item of one volume: a drive letter under "My Computer", or a
// partition without a letter ("\\.\diskN.partM") under "Hidden Partitions".
#pragma once

#include "app/explorer/explorer_utils.h"
#include "app/explorer/vtfe_item.h"

#include <memory>

namespace kw::app {

// Owns the list-only items (restored files in the volume's root), which show
// in the contents list but have no tree node.
class VtfeDrive final : public VtfeItem {
public:
    VtfeDrive(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString caption,
              DriveType type);
    ~VtfeDrive() override;

    void BuildPath(QTreeWidgetItem* parent) override;
    void AddListRow() override;
    bool Expand(bool force) override;
    bool HasChildren() override;
    void SetIcons() override;
    void ShowContents(bool focus) override;

    DriveType Type() const { return type_; }
    QString TypeText() const;
    // Lists a restored file; a file of the same name is listed only once.
    void AddListItem(std::unique_ptr<VtfeItem> item);
    // Deletes the node of a fixed drive whose medium is gone.
    void RemoveIfMissing();

protected:
    void ExtraRows() override;

private:
    DriveType type_;
    std::vector<std::unique_ptr<VtfeItem>> listItems_;
};

} // namespace kw::app
