#include "app/wait_cursor.h"

#include <QCursor>
#include <QGuiApplication>

namespace kw::app {

TWaitCursor::TWaitCursor() {
    if (const QCursor* current = QGuiApplication::overrideCursor()) {
        hadCursor_ = true;
        saved_ = current->shape();
        QGuiApplication::changeOverrideCursor(Qt::WaitCursor);
    } else {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    }
}

TWaitCursor::~TWaitCursor() {
    if (hadCursor_)
        QGuiApplication::changeOverrideCursor(saved_);
    else
        QGuiApplication::restoreOverrideCursor();
}

} // namespace kw::app
