// Moving around the main window: the contents list's keys and focus, the
// double click on a row, and the right click that picks what the context
// menu acts on.
#include "app/main_form.h"

#include <QKeyEvent>
#include <QMenu>
#include <QTreeWidget>

namespace kw::app {
namespace {

// The contents list's keys and focus: Enter opens a row as a double click
// does, Backspace goes up one level; taking the focus with rows but none
// selected marks the first row; losing it recomputes the commands.
class ContentsListEvents final : public QObject {
public:
    explicit ContentsListEvents(TMainForm* form) : QObject(form), form_(form) {}

    bool eventFilter(QObject* watched, QEvent* e) override {
        QTreeWidget* list = form_->ContentsList;
        if (watched != list)
            return false;
        switch (e->type()) {
        case QEvent::KeyPress:
            return KeyPress(static_cast<QKeyEvent*>(e));
        case QEvent::FocusIn:
            if (list->topLevelItemCount() > 0 && list->selectedItems().isEmpty())
                list->setCurrentItem(list->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
            return false;
        case QEvent::FocusOut:
            if (form_->Ready()) // not while the window goes
                form_->UpdateMenuStates();
            return false;
        default:
            return false;
        }
    }

private:
    bool KeyPress(QKeyEvent* e) {
        const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
        if (mods != Qt::NoModifier)
            return false;
        switch (e->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            form_->ContentsListDblClick(form_->ContentsList->currentItem());
            return true;
        case Qt::Key_Backspace:
            form_->UpOneLevelExecute();
            return true;
        default:
            return false;
        }
    }

    TMainForm* form_;
};

} // namespace

void TMainForm::SetupNavigation() {
    connect(ContentsList, &QTreeWidget::itemDoubleClicked, this, &TMainForm::ContentsListDblClick);
    ContentsList->installEventFilter(new ContentsListEvents(this));
    for (QTreeWidget* view : {ExploreTree, RecentImgsTree, ContentsList})
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint& at) { ViewContextMenu(view, at); });
}

// In the list the clicked row alone is selected and focused; in a tree the
// clicked node is selected. The menu then acts on what was clicked.
void TMainForm::ViewContextMenu(QTreeWidget* view, const QPoint& at) {
    QTreeWidgetItem* hit = view->itemAt(at);
    if (view == ContentsList) {
        if (hit != nullptr)
            view->setCurrentItem(hit, 0,
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        view->setFocus(Qt::PopupFocusReason);
    } else if (hit != nullptr) {
        view->setCurrentItem(hit);
    }
    listSelected_ = view == ContentsList;
    if (PopupMenu1Popup())
        PopupMenu1->popup(view->viewport()->mapToGlobal(at));
}

} // namespace kw::app
