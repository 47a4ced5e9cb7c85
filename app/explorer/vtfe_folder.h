// The explorer items of the local file system: the roots ("My Computer",
// "Hidden Partitions"), folders (also the "My Recent Images" root and
// folders made by a restore) and files made by a restore.
#pragma once

#include "app/explorer/vtfe_item.h"

#include <memory>
#include <vector>

namespace kw::app {

// A top node; its children are drive items.
class VtfeRoot final : public VtfeItem {
public:
    VtfeRoot(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name);
    void BuildPath(QTreeWidgetItem*) override { path_ = name_; }
    void AddListRow() override {}
    // With force: drops drives that have gone and adds new ones.
    bool Expand(bool force) override;
    bool HasChildren() override { return true; }
    void SetIcons() override;
    void ShowContents(bool focus) override;
};

// A folder of the local file system. Shows its sub-folders and image files;
// owns the items of the files restored into it during this run.
class VtfeFolder final : public VtfeItem {
public:
    VtfeFolder(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name,
               ItemKind kind = KIND_FOLDER);
    ~VtfeFolder() override;
    void BuildPath(QTreeWidgetItem* parent) override { path_ = JoinedPath(parent); }
    void AddListRow() override;
    bool Expand(bool force) override;
    bool HasChildren() override;
    void SetIcons() override;
    void ShowContents(bool focus) override;

    // Lists a restored file; a file of the same name is listed only once.
    bool AddFile(std::unique_ptr<VtfeItem> file);
    // Deletes the node when no folder exists at the path any more.
    void RemoveIfMissing();

protected:
    void ExtraRows() override;

private:
    std::vector<std::unique_ptr<VtfeItem>> restoredFiles_;
};

// A file made by a restore: a list row only, no tree node.
class VtfeFile final : public VtfeItem {
public:
    VtfeFile(ExplorerHost* host, QTreeWidgetItem* parent, QTreeWidget* list, QString name,
             ItemKind kind = KIND_RESTORED_FILE);
    bool Insert(QTreeWidgetItem*, const QString&) override { return true; }
    void BuildPath(QTreeWidgetItem* parent) override { path_ = JoinedPath(parent); }
    void AddListRow() override;
    bool Expand(bool) override { return false; }
    bool HasChildren() override { return false; }
    void SetIcons() override { icon_ = selectedIcon_ = 24; }
    void ShowContents(bool) override {}
};

// Shared by folder and drive items. Appends a restored file's item to list
// unless the list holds an item of that name already (restored again).
void AddRestoredItem(std::vector<std::unique_ptr<VtfeItem>>& list, std::unique_ptr<VtfeItem> item);
// Shared by folder and drive items. Removes child folders and images whose
// files have gone (asking first for images on the recent-images page).
void RemoveMissingChildren(QTreeWidgetItem* node);
// Adds items for the sub-folders and image files of the folder at
// searchPath (which ends in "\") that the item does not show yet; true when
// something was added.
bool AddFolderEntries(VtfeItem* parent, const QString& searchPath);
// True when the folder holds a sub-folder or an image file.
bool FolderHasChildren(ExplorerHost* host, const QString& path);

} // namespace kw::app
