// The common base of every window of the editor: the main window and the
// dialogs. It gives them the program's window icon and one place for a
// per-window set-up step after construction (empty today; a text-loading
// step for other languages would go here).
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPalette>
#include <QWidget>

namespace kw::app {

QIcon ProgramIcon(); // dialogs/art.cpp

// Base is QDialog for the dialogs and QMainWindow for the main window.
template <class Base> class TlngFormOf : public Base {
public:
    explicit TlngFormOf(QWidget* owner = nullptr, Qt::WindowFlags flags = {}) : Base(owner, flags) {
        Base::setWindowIcon(ProgramIcon());
    }

protected:
    // The per-window set-up step; forms call it at the end of their constructor.
    void FormSetup() {}
};

using TlngForm = TlngFormOf<QDialog>;

// Gives an edit box the look of a read-only field: the button-face colour
// behind its text.
inline void ShowAsReadOnlyField(QWidget* edit) {
    QPalette p = edit->palette();
    p.setColor(QPalette::Base, p.color(QPalette::Button));
    edit->setPalette(p);
}

} // namespace kw::app
