#include "app/dialogs/dialog_parts.h"

#include <QDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace kw::app {

QLabel* NamedLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QPushButton* NamedButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    return button;
}

QLabel* AddValueRow(QGridLayout* grid, QLabel* caption, const char* valueName,
                    const QString& initial) {
    const int row = grid->rowCount();
    QLabel* value = NamedLabel(caption->parentWidget(), valueName, initial);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(caption, row, 0);
    grid->addWidget(value, row, 1);
    return value;
}

QFrame* Bevel(QWidget* parent, const char* name) {
    auto* line = new QFrame(parent);
    line->setObjectName(name);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QWidget* AddPage(QTabWidget* pages, const char* name, const QString& title) {
    auto* page = new QWidget;
    page->setObjectName(name);
    pages->addTab(page, title);
    return page;
}

DialogButtons AddDialogButtons(QDialog* dialog, QTabWidget* pages, bool withApply, bool centred) {
    DialogButtons b;
    b.ok = NamedButton(dialog, "OKBtn", "OK");
    b.ok->setDefault(true);
    b.cancel = NamedButton(dialog, "CancelBtn", "Cancel");
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(b.ok);
    row->addWidget(b.cancel);
    if (withApply) {
        b.apply = NamedButton(dialog, "ApplyBtn", "&Apply");
        row->addWidget(b.apply);
    }
    if (centred)
        row->addStretch();
    auto* form = new QVBoxLayout(dialog);
    form->addWidget(pages);
    form->addLayout(row);
    QObject::connect(b.cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return b;
}

} // namespace kw::app
