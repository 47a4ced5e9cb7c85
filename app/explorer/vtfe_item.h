// The explorer item: what every node of the two trees carries and what every
// row of the contents list points to. An item knows its text, its path, its
// icons, how to create its children and what to show in the list when it is
// selected. Its tree node owns it; deleting the node deletes the items of
// the child nodes first, then the item, which tells the main window.
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

namespace kw::vfs {
class VFS_NAMESPACE;
}

namespace kw::app {

class UiServices;
class VtfeItem;

enum ItemKind : uint32_t {
    KIND_ROOT = 0,
    KIND_DRIVE = 1,
    KIND_FOLDER = 2, // also the "My Recent Images" root
    KIND_RESTORED_FOLDER = 3,
    KIND_RESTORED_FILE = 5,
    KIND_IMAGE = 6,
    KIND_PARTITION = 7,
    KIND_PART_FOLDER = 8,
    KIND_PART_FILE = 9,
};

// What the items need of the main window.
class ExplorerHost {
public:
    virtual UiServices& Ui() = 0;
    virtual vfs::VFS_NAMESPACE& Vfs() = 0;
    virtual const std::vector<std::string>& ImageExtensions() const = 0;
    virtual bool ShowsRecentPage() const = 0;
    virtual bool CanTakeFocus() const = 0;
    // Replaces the contents list's columns (column specifications).
    virtual void SetColumns(const QStringList& specs) = 0;
    virtual QIcon TreeIcon(int index, int selectedIndex) const = 0;
    // The "My Recent Images" node.
    virtual QTreeWidgetItem* RecentRoot() const = 0;
    // An item is going away: drop every reference to it.
    virtual void ItemGone(VtfeItem* item) = 0;
    // The item of the other tree that stands for the same image, or null.
    virtual VtfeItem* ImageTwin(const VtfeItem*) { return nullptr; }
    // The "My Computer" node, where restored folders are shown.
    virtual QTreeWidgetItem* ComputerRoot() const { return nullptr; }

protected:
    ~ExplorerHost() = default;
};

class VtfeItem {
public:
    VtfeItem(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name, ItemKind kind);
    virtual ~VtfeItem();
    VtfeItem(const VtfeItem&) = delete;
    VtfeItem& operator=(const VtfeItem&) = delete;

    // Adds the item's node under parent (a top-level node when parent is null).
    virtual bool Insert(QTreeWidgetItem* parent, const QString& text);
    virtual void BuildPath(QTreeWidgetItem* parent) = 0;
    virtual void AddListRow() = 0;
    // Creates the children; true when the item has children to show.
    virtual bool Expand(bool force) = 0;
    virtual bool HasChildren() = 0;
    virtual void SetIcons() = 0;
    virtual void ShowContents(bool focus) = 0;

    // The steps after construction: path, has-children, icons, node. A node
    // that cannot be added is reported; the item then has no node.
    void Attach(QTreeWidgetItem* parent);

    const QString& Name() const { return name_; }
    const QString& Path() const { return path_; }
    ItemKind Kind() const { return kind_; }
    bool Populated() const { return populated_; }
    bool Busy() const { return busy_; }
    bool CheckExistence() const { return checkExistence_; }
    QTreeWidgetItem* Node() const { return node_; }
    QTreeWidget* Tree() const { return tree_; }
    QTreeWidget* List() const { return list_; }
    ExplorerHost* Host() const { return host_; }
    // Deletes the item's node and with it the item.
    void DeleteNode();

    // The item a node or list row carries, or null.
    static VtfeItem* OfNode(QTreeWidgetItem* node);
    static VtfeItem* OfRow(QTreeWidgetItem* row);
    // The items of node's children, in tree order.
    static std::vector<VtfeItem*> ChildItems(QTreeWidgetItem* node);

protected:
    // Adds one row to the contents list with this item as its data.
    void AddRow(const QStringList& texts);
    // The common shape of showing contents: clear, populate when needed
    // (stopping when that fails and stopWhenEmpty is set), the children's
    // rows, ExtraRows, the rows sorted (an image's or a partition's
    // contents), the columns, the focus.
    void ShowChildRows(const QStringList& columns, bool focus, bool stopWhenEmpty);
    virtual void ExtraRows() {}
    // Writes has-children onto the node.
    void UpdateChildMark();
    // Fills the node from a host folder search: drops children that are gone,
    // adds folders and image files, sorts; populated when anything was added.
    bool ExpandFromFolder(const QString& searchPath);
    // The path of the parent node's item joined with name by one "\".
    QString JoinedPath(QTreeWidgetItem* parent) const;

    ExplorerHost* host_;
    QTreeWidget* tree_;
    QTreeWidget* list_;
    QString name_;
    QString path_;
    bool populated_ = false;
    bool checkExistence_ = false;
    bool busy_ = false;
    bool hasChildren_ = false;
    int icon_ = 0;
    int selectedIcon_ = 0;
    ItemKind kind_;
    QTreeWidgetItem* node_ = nullptr;

    friend class ExplorerNode;
};

// Makes an item and attaches it under parent.
template <class T, class... Args> T* CreateItem(QTreeWidgetItem* parent, Args&&... args) {
    T* item = new T(std::forward<Args>(args)...);
    item->Attach(parent);
    return item;
}

} // namespace kw::app
