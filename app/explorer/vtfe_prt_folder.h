// The explorer items inside an imaged partition: folders (tree nodes) and
// files (rows of the contents list only), and restoring them to a folder of
// the machine.
#pragma once

#include "app/explorer/access_info.h"
#include "app/explorer/vtfe_item.h"
#include "engine/core/kwret.h"

#include <memory>
#include <vector>

namespace kw::app {

class VtfePrtFile;
struct RestoreContext;

// A folder inside an image: a partition's root or a folder below it. Owns
// its access info and the file items of its current listing.
class VtfeImageDir : public VtfeItem {
public:
    ~VtfeImageDir() override;
    const ACCESS_INFO& Info() const { return *info_; }
    // Drops the file items of the last listing (and their rows).
    void ClearFiles();

protected:
    VtfeImageDir(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name,
                 ItemKind kind, std::unique_ptr<ACCESS_INFO> info);
    // Adds a folder item per sub-folder not shown yet; true when any was
    // added. With subfolders, also how many sub-folders the listing holds.
    bool ExpandFolders(int* subfolders = nullptr);
    // The rows of the sub-folders and files, with the folder columns. When
    // the folder cannot be listed, a row says why, and so does a message the
    // first time: it never shows as an empty folder.
    void ShowEntries(bool focus);
    void ExtraRows() override;

    std::unique_ptr<ACCESS_INFO> info_;
    std::vector<std::unique_ptr<VtfePrtFile>> files_;

private:
    // Notes the result of the listing just made.
    void NoteListing(IMGACCESS* access);

    kwRet listingError_ = KW_OK; // of the last listing
    bool listingErrorShown_ = false;
};

class VtfePrtFldr final : public VtfeImageDir {
public:
    VtfePrtFldr(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name,
                std::unique_ptr<ACCESS_INFO> info);
    void BuildPath(QTreeWidgetItem* parent) override { path_ = JoinedPath(parent); }
    void AddListRow() override;
    bool Expand(bool force) override;
    bool HasChildren() override { return subfolders_ != 0; }
    void SetIcons() override { icon_ = 19, selectedIcon_ = 20; }
    void ShowContents(bool focus) override { ShowEntries(focus); }

    // Recreates this folder and everything below it inside destination.
    // 0, 7 when cancelled, else the first error (later files and folders
    // are still restored).
    kwRet Restore(RestoreContext& ctx, const QString& destination);

private:
    kwRet RestoreFiles(RestoreContext& ctx, const QString& target, VtfeItem* shown);
    int subfolders_ = -1; // not counted yet
};

// A file inside an image; a row of its folder's listing.
class VtfePrtFile final : public VtfeItem {
public:
    VtfePrtFile(ExplorerHost* host, VtfeImageDir* folder, QTreeWidget* list, QString name,
                uint32_t attributes, uint64_t time, uint64_t size);
    bool Insert(QTreeWidgetItem*, const QString&) override { return true; }
    void BuildPath(QTreeWidgetItem*) override {}
    void AddListRow() override;
    bool Expand(bool) override { return false; }
    bool HasChildren() override { return false; }
    void SetIcons() override { icon_ = selectedIcon_ = 21; }
    void ShowContents(bool) override {}

    kwRet Restore(RestoreContext& ctx, const QString& destination);
    VtfeImageDir* Folder() const { return folder_; }
    uint32_t Attributes() const { return attributes_; }
    uint64_t Time() const { return time_; }
    uint64_t Size() const { return size_; }

private:
    VtfeImageDir* folder_;
    uint32_t attributes_;
    uint64_t time_;
    uint64_t size_;
};

// "R", "H", "S", "A" for the attribute bits that are set, in that order.
QString AttributeLetters(uint32_t attributes);

// Shows the restored folder destination\name under "My Computer": finds or
// makes the restored-folder items down to it. Null for a network path or a
// drive that is not shown.
VtfeItem* ShowDestination(ExplorerHost* host, const QString& destination, const QString& name);

} // namespace kw::app
