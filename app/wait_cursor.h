// Shows the busy cursor for the life of a scope on the GUI thread and puts
// the cursor that was showing before back when the scope ends, however it
// ends.
#pragma once

#include <Qt>

namespace kw::app {

// Owns the saved cursor shape (none when no override cursor was set).
class TWaitCursor {
public:
    TWaitCursor();
    ~TWaitCursor();
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;

private:
    bool hadCursor_ = false;
    Qt::CursorShape saved_ = Qt::ArrowCursor;
};

} // namespace kw::app
