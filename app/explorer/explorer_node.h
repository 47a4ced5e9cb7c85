// The Qt side of the explorer: a tree node that owns its item, and a row of
// the contents list that points to one.
#pragma once

#include <QTreeWidgetItem>

namespace kw::app {

class VtfeItem;

// A tree node; owns its item. Sorted as the explorer orders nodes: lower
// item kind first, drives by their letter, others by upper-cased text.
class ExplorerNode final : public QTreeWidgetItem {
public:
    static constexpr int kType = QTreeWidgetItem::UserType + 1;
    explicit ExplorerNode(VtfeItem* item);
    ~ExplorerNode() override;
    VtfeItem* Item() const { return item_; }
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    friend class VtfeItem;
    VtfeItem* item_;
};

// A row of the contents list; the item belongs to a tree node or to the
// item whose contents are shown. Sorted as the list orders the contents of
// an image or a folder in one: lower item kind first, then upper-cased text.
class ListRow final : public QTreeWidgetItem {
public:
    static constexpr int kType = QTreeWidgetItem::UserType + 2;
    explicit ListRow(VtfeItem* item) : QTreeWidgetItem(kType), item_(item) {}
    VtfeItem* Item() const { return item_; }
    void Forget() { item_ = nullptr; }
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    VtfeItem* item_;
};

// The explorer's order of two nodes' texts and kinds (true when a comes first).
bool TreeCompare(uint32_t kindA, const QString& textA, uint32_t kindB, const QString& textB);
// The contents list's order of two rows: TreeCompare without the drive rule.
bool ContentsListCompare(uint32_t kindA, const QString& textA, uint32_t kindB,
                         const QString& textB);

} // namespace kw::app
