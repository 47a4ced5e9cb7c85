// The common base of every window of the editor: the main window and the
// dialogs. It gives them the program's window icon and one place for a
// per-window set-up step after construction (empty today; a text-loading
// step for other languages would go here).
#pragma once

#include <QDialog>
#include <QIcon>

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

} // namespace kw::app
