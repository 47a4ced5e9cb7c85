#include "app/explorer/explorer_node.h"

#include "app/explorer/vtfe_item.h"

namespace kw::app {
namespace {

QChar DriveLetterOf(const QString& text) {
    qsizetype open = text.indexOf('(');
    return open >= 0 && open + 1 < text.size() ? text[open + 1] : QChar();
}

} // namespace

bool TreeCompare(uint32_t kindA, const QString& textA, uint32_t kindB, const QString& textB) {
    if (kindA == KIND_DRIVE && kindB == KIND_DRIVE)
        return DriveLetterOf(textA) < DriveLetterOf(textB);
    return ContentsListCompare(kindA, textA, kindB, textB);
}

bool ContentsListCompare(uint32_t kindA, const QString& textA, uint32_t kindB,
                         const QString& textB) {
    if (kindA != kindB)
        return kindA < kindB;
    return textA.toUpper().toUtf8() < textB.toUpper().toUtf8();
}

ExplorerNode::ExplorerNode(VtfeItem* item) : QTreeWidgetItem(kType), item_(item) {}

ExplorerNode::~ExplorerNode() {
    // The items below go before this node's own item.
    for (QTreeWidgetItem* child : takeChildren())
        delete child;
    if (item_ != nullptr) {
        item_->node_ = nullptr;
        delete item_;
        item_ = nullptr; // a view that looks at the node while it goes finds no item
    }
}

bool ExplorerNode::operator<(const QTreeWidgetItem& other) const {
    const VtfeItem* a = item_;
    const VtfeItem* b =
        other.type() == kType ? static_cast<const ExplorerNode&>(other).Item() : nullptr;
    if (a == nullptr || b == nullptr)
        return QTreeWidgetItem::operator<(other);
    return TreeCompare(a->Kind(), text(0), b->Kind(), other.text(0));
}

bool ListRow::operator<(const QTreeWidgetItem& other) const {
    const VtfeItem* b = other.type() == kType ? static_cast<const ListRow&>(other).Item() : nullptr;
    if (item_ == nullptr || b == nullptr)
        return QTreeWidgetItem::operator<(other);
    return ContentsListCompare(item_->Kind(), text(0), b->Kind(), other.text(0));
}

} // namespace kw::app
