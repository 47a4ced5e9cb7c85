#include "app/explorer/vtfe_item.h"

#include "app/explorer/explorer_node.h"
#include "app/explorer/vtfe_folder.h"
#include "app/ui_services.h"

#include <QTreeWidget>

namespace kw::app {

VtfeItem::VtfeItem(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString name,
                   ItemKind kind)
    : host_(host), tree_(tree), list_(list), name_(std::move(name)), kind_(kind) {}

VtfeItem::~VtfeItem() {
    if (node_ != nullptr) { // deleted directly, not through its node
        auto* node = static_cast<ExplorerNode*>(node_);
        node->item_ = nullptr;
        node_ = nullptr;
        delete node;
    }
    if (host_ != nullptr)
        host_->ItemGone(this);
}

void VtfeItem::Attach(QTreeWidgetItem* parent) {
    BuildPath(parent);
    hasChildren_ = HasChildren();
    SetIcons();
    if (!Insert(parent, name_) && host_ != nullptr)
        host_->Ui().Message(QStringLiteral("Unable to add the node %1").arg(name_),
                            QStringLiteral("Warning"), MsgIcon::Warning, MsgButtons::Ok);
}

bool VtfeItem::Insert(QTreeWidgetItem* parent, const QString& text) {
    if (tree_ == nullptr)
        return false;
    auto* node = new ExplorerNode(this);
    node->setText(0, text);
    if (host_ != nullptr)
        node->setIcon(0, host_->TreeIcon(icon_, selectedIcon_));
    node_ = node;
    UpdateChildMark();
    if (parent != nullptr)
        parent->addChild(node);
    else
        tree_->addTopLevelItem(node);
    return true;
}

void VtfeItem::UpdateChildMark() {
    if (node_ != nullptr)
        node_->setChildIndicatorPolicy(hasChildren_
                                           ? QTreeWidgetItem::ShowIndicator
                                           : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void VtfeItem::DeleteNode() {
    delete node_; // deletes this item too
}

QString VtfeItem::JoinedPath(QTreeWidgetItem* parent) const {
    VtfeItem* up = OfNode(parent);
    if (up == nullptr)
        return name_;
    const QString& base = up->Path();
    return base.endsWith('\\') ? base + name_ : base + '\\' + name_;
}

VtfeItem* VtfeItem::OfNode(QTreeWidgetItem* node) {
    if (node == nullptr || node->type() != ExplorerNode::kType)
        return nullptr;
    return static_cast<ExplorerNode*>(node)->Item();
}

VtfeItem* VtfeItem::OfRow(QTreeWidgetItem* row) {
    if (row == nullptr || row->type() != ListRow::kType)
        return nullptr;
    return static_cast<ListRow*>(row)->Item();
}

std::vector<VtfeItem*> VtfeItem::ChildItems(QTreeWidgetItem* node) {
    std::vector<VtfeItem*> out;
    if (node == nullptr)
        return out;
    for (int i = 0; i < node->childCount(); ++i)
        if (VtfeItem* item = OfNode(node->child(i)))
            out.push_back(item);
    return out;
}

void VtfeItem::AddRow(const QStringList& texts) {
    if (list_ == nullptr)
        return;
    auto* row = new ListRow(this);
    for (int i = 0; i < texts.size(); ++i)
        row->setText(i, texts[i]);
    if (host_ != nullptr)
        row->setIcon(0, host_->TreeIcon(icon_, icon_));
    list_->addTopLevelItem(row);
}

void VtfeItem::ShowChildRows(const QStringList& columns, bool focus, bool stopWhenEmpty) {
    if (list_ == nullptr)
        return;
    list_->setUpdatesEnabled(false);
    list_->clear();
    bool ok = populated_ || Expand(false);
    if (ok || !stopWhenEmpty) {
        for (VtfeItem* child : ChildItems(node_))
            child->AddListRow();
        ExtraRows();
        // The contents of an image or of a folder in one: folders first.
        if (kind_ >= KIND_IMAGE)
            list_->sortItems(0, Qt::AscendingOrder);
        if (host_ != nullptr)
            host_->SetColumns(columns);
        if (focus && host_ != nullptr && host_->CanTakeFocus()) {
            list_->setFocus();
            if (list_->topLevelItemCount() > 0)
                list_->setCurrentItem(list_->topLevelItem(0));
        }
    }
    list_->setUpdatesEnabled(true);
}

bool VtfeItem::ExpandFromFolder(const QString& searchPath) {
    busy_ = true;
    RemoveMissingChildren(node_);
    bool added = AddFolderEntries(this, searchPath);
    if (added) {
        populated_ = true;
        node_->sortChildren(0, Qt::AscendingOrder);
    }
    hasChildren_ = HasChildren() || (node_ != nullptr && node_->childCount() > 0);
    UpdateChildMark();
    busy_ = false;
    return added;
}

} // namespace kw::app
