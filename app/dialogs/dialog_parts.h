// Pieces the editor's properties and options dialogs are built from: named
// labels and buttons, caption and value rows, bevels, pages, and the row of
// OK, Cancel and Apply below the page control.
#pragma once

#include <QString>

class QDialog;
class QFrame;
class QGridLayout;
class QLabel;
class QPushButton;
class QTabWidget;
class QWidget;

namespace kw::app {

QLabel* NamedLabel(QWidget* parent, const char* name, const QString& text = {});
QPushButton* NamedButton(QWidget* parent, const char* name, const QString& text);
// Puts caption on a new row of the grid with a selectable value label
// beside it (of the caption's parent) and returns the value label.
QLabel* AddValueRow(QGridLayout* grid, QLabel* caption, const char* valueName,
                    const QString& initial = {});
// A sunken horizontal line.
QFrame* Bevel(QWidget* parent, const char* name = "");
// A new page of the page control.
QWidget* AddPage(QTabWidget* pages, const char* name, const QString& title);

struct DialogButtons {
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    QPushButton* apply = nullptr; // null unless asked for
};
// Lays the dialog out as its page control over a row of OK (the default
// button; the dialog connects it), Cancel (rejects) and, with withApply,
// "&Apply". centred puts the row in the middle instead of at the right.
DialogButtons AddDialogButtons(QDialog* dialog, QTabWidget* pages, bool withApply, bool centred);

} // namespace kw::app
