// Dragging items between the main window's trees and its contents list:
// where a drop is taken, the node that opens when a drag rests on it, the
// tree that scrolls when a drag nears its edge, the page that changes when
// a drag rests on its tab, and the drop that hands the items to the
// paste-like commands once the drag is over.
#include "app/main_form.h"

#include <QDrag>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

namespace kw::app {
namespace {

// The drag's data names no item: the dragged items are the copied items.
constexpr char kItemsMime[] = "application/x-kwvtfe-items";
// A drag this close to a tree's top or bottom edge scrolls it.
constexpr int kScrollEdge = 20;
constexpr int kTabChangeDelay = 1000;

// A view of the main window whose drags start and end through the window.
class DragView final : public QTreeWidget {
public:
    DragView(TMainForm* form, QWidget* parent) : QTreeWidget(parent), form_(form) {
        setDragEnabled(true);
        setAcceptDrops(true);
        setDragDropMode(QAbstractItemView::DragDrop);
        setDefaultDropAction(Qt::CopyAction);
        setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    }

protected:
    void startDrag(Qt::DropActions) override {
        std::unique_ptr<QMimeData> data = form_->BeginDrag(this);
        if (data == nullptr)
            return;
        auto* drag = new QDrag(this); // Qt deletes it when the drag is over
        drag->setMimeData(data.release());
        if (QTreeWidgetItem* item = currentItem())
            drag->setPixmap(item->icon(0).pixmap(16, 16));
        drag->exec(Qt::CopyAction, Qt::CopyAction);
        form_->EndDrag();
    }

private:
    TMainForm* form_;
};

// Drag events of the views' viewports, the page tabs and the status bar go
// to the window; a drag that did not start in the window is refused.
class DragEvents final : public QObject {
public:
    explicit DragEvents(TMainForm* form) : QObject(form), form_(form) {}

    bool eventFilter(QObject* watched, QEvent* e) override {
        const QEvent::Type type = e->type();
        if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop &&
            type != QEvent::DragLeave)
            return false;
        if (type == QEvent::DragLeave) {
            Leave(watched);
            return true;
        }
        auto* drag = static_cast<QDropEvent*>(e);
        if (!form_->Dragging() || drag->mimeData() == nullptr ||
            !drag->mimeData()->hasFormat(kItemsMime)) {
            drag->ignore();
            return true;
        }
        const QPoint at = drag->position().toPoint();
        bool taken = false;
        if (QTreeWidget* view = ViewOf(watched))
            taken =
                type == QEvent::Drop ? form_->ViewDrop(view, at) : form_->ViewDragOver(view, at);
        else if (watched == form_->PageControl->tabBar() && type != QEvent::Drop)
            form_->PageControlDragOver(at);
        else if (watched == form_->StatusBar)
            form_->ExpandNodeTimer->stop();
        if (taken)
            drag->acceptProposedAction();
        else
            drag->ignore();
        // Entering must be taken for the moves over the widget to arrive.
        if (type == QEvent::DragEnter)
            drag->accept();
        return true;
    }

private:
    QTreeWidget* ViewOf(QObject* viewport) const {
        for (QTreeWidget* view : {form_->ExploreTree, form_->RecentImgsTree, form_->ContentsList})
            if (viewport == view->viewport())
                return view;
        return nullptr;
    }

    void Leave(QObject* watched) {
        if (QTreeWidget* view = ViewOf(watched))
            form_->ViewDragLeave(view);
        else if (watched == form_->PageControl->tabBar())
            form_->PageControlDragOver(QPoint(-1, -1));
    }

    TMainForm* form_;
};

} // namespace

QTreeWidget* TMainForm::NewView(QWidget* parent) {
    return new DragView(this, parent);
}

void TMainForm::SetupDragDrop() {
    TabChangeTimer->setInterval(kTabChangeDelay);
    connect(TabChangeTimer, &QTimer::timeout, this, &TMainForm::TabChangeTimerTimer);
    connect(ExpandNodeTimer, &QTimer::timeout, this, &TMainForm::ExpandNodeTimerTimer);
    connect(TreeScrollTimer, &QTimer::timeout, this, &TMainForm::TreeScrollTimerTimer);
    auto* events = new DragEvents(this);
    for (QTreeWidget* view : {ExploreTree, RecentImgsTree, ContentsList})
        view->viewport()->installEventFilter(events);
    for (QWidget* w : std::initializer_list<QWidget*>{PageControl->tabBar(), StatusBar}) {
        w->setAcceptDrops(true);
        w->installEventFilter(events);
    }
}

std::unique_ptr<QMimeData> TMainForm::BeginDrag(QTreeWidget* source) {
    std::vector<VtfeItem*> dragged;
    if (source == ContentsList) {
        for (QTreeWidgetItem* row : ContentsList->selectedItems())
            if (VtfeItem* item = VtfeItem::OfRow(row))
                dragged.push_back(item);
    } else if (VtfeItem* item = VtfeItem::OfNode(source->currentItem())) {
        dragged.push_back(item);
    }
    if (dragged.empty())
        return nullptr;
    copiedItems_ = std::move(dragged);
    dragging_ = true;
    dropPending_ = false;
    savedTab_ = PageControl->currentIndex();
    auto data = std::make_unique<QMimeData>();
    data->setData(kItemsMime, QByteArray::number(qulonglong(copiedItems_.size())));
    return data;
}

void TMainForm::EndDrag() {
    if (!dragging_)
        return;
    if (dropPending_) {
        dropPending_ = false;
        DropItemExecute();
    }
    dragging_ = false;
    for (QTimer* t : {TabChangeTimer, ExpandNodeTimer, TreeScrollTimer})
        t->stop();
    hoverItem_ = dropTarget_ = nullptr;
    pendingTab_ = -1;
    if (savedTab_ >= 0 && savedTab_ != PageControl->currentIndex())
        PageControl->setCurrentIndex(savedTab_);
    savedTab_ = -1;
}

// A drop goes where a paste could go, never onto what is dragged; in the
// list only images go, onto folders and drives.
bool TMainForm::DropAllowed(QTreeWidget* view, VtfeItem* target) const {
    if (target == nullptr || !CanPasteOnto(target) ||
        std::find(copiedItems_.begin(), copiedItems_.end(), target) != copiedItems_.end())
        return false;
    return view != ContentsList ||
           (copiedItems_.front()->Kind() == KIND_IMAGE &&
            (target->Kind() == KIND_DRIVE || target->Kind() == KIND_FOLDER));
}

bool TMainForm::ViewDragOver(QTreeWidget* view, const QPoint& at) {
    VtfeItem* target = view == ContentsList ? VtfeItem::OfRow(view->itemAt(at))
                                            : VtfeItem::OfNode(view->itemAt(at));
    dropTarget_ = DropAllowed(view, target) ? target : nullptr;
    if (view != ContentsList) {
        // Resting on a node opens it when it is where the drop would go.
        if (target != hoverItem_) {
            hoverItem_ = target;
            if (target != nullptr)
                ExpandNodeTimer->start();
            else
                ExpandNodeTimer->stop();
        }
        ScrollNearEdge(view, at.y());
    }
    return dropTarget_ != nullptr;
}

// The drop is taken now and run when the drag is over, outside the drag's
// own event handling (the commands show modal dialogs).
bool TMainForm::ViewDrop(QTreeWidget* view, const QPoint& at) {
    if (!ViewDragOver(view, at))
        return false;
    destItem_ = dropTarget_;
    dropPending_ = true;
    ExpandNodeTimer->stop();
    TreeScrollTimer->stop();
    return true;
}

void TMainForm::ViewDragLeave(QTreeWidget* view) {
    dropTarget_ = nullptr;
    if (view == ContentsList)
        return;
    hoverItem_ = nullptr;
    ExpandNodeTimer->stop();
    TreeScrollTimer->stop();
}

void TMainForm::ScrollNearEdge(QTreeWidget* tree, int y) {
    const int height = tree->viewport()->height();
    if (tree != currentTree_ || (y >= kScrollEdge && y < height - kScrollEdge)) {
        TreeScrollTimer->stop();
        return;
    }
    scrollUp_ = y < kScrollEdge;
    if (!TreeScrollTimer->isActive())
        TreeScrollTimer->start();
}

void TMainForm::PageControlDragOver(const QPoint& at) {
    const int tab = PageControl->tabBar()->tabAt(at);
    if (tab < 0 || tab == PageControl->currentIndex()) {
        pendingTab_ = -1;
        TabChangeTimer->stop();
        return;
    }
    if (tab != pendingTab_ || !TabChangeTimer->isActive()) {
        pendingTab_ = tab;
        TabChangeTimer->start();
    }
}

void TMainForm::TabChangeTimerTimer() {
    TabChangeTimer->stop();
    if (pendingTab_ < 0)
        return;
    const int tab = pendingTab_;
    pendingTab_ = -1;
    hoverItem_ = dropTarget_ = nullptr; // they were nodes of the other tree
    ExpandNodeTimer->stop();
    TreeScrollTimer->stop();
    PageControl->setCurrentIndex(tab); // makes its tree the current tree
}

void TMainForm::ExpandNodeTimerTimer() {
    ExpandNodeTimer->stop();
    VtfeItem* hover = hoverItem_;
    hoverItem_ = nullptr;
    if (hover == nullptr || hover != dropTarget_ || hover->Node() == nullptr)
        return;
    hover->Node()->setExpanded(true);
    if (QTreeWidget* tree = hover->Tree())
        tree->viewport()->update();
}

void TMainForm::TreeScrollTimerTimer() {
    QScrollBar* bar = currentTree_->verticalScrollBar();
    const int next = bar->value() + (scrollUp_ ? -1 : 1);
    if (next < bar->minimum() || next > bar->maximum()) {
        TreeScrollTimer->stop();
        return;
    }
    bar->setValue(next);
}

void TMainForm::ForgetDragItem(VtfeItem* item) {
    if (hoverItem_ == item)
        hoverItem_ = nullptr;
    if (dropTarget_ == item)
        dropTarget_ = nullptr;
}

} // namespace kw::app
