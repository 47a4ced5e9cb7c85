// What an operation needs of the window that shows its progress: a message,
// the name being worked on, the bar, and whether the user asked it to stop.
// The progress window implements it; restores and copies take it from
// their callers instead of reaching for the window themselves.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QWidget;

namespace kw::app {

class ProgressView {
public:
    virtual ~ProgressView() = default;
    virtual void SetMessage(const QString& text) = 0;
    // A name (a path shortened to fit).
    virtual void SetItemText(const QString& text) = 0;
    // The bar at done of total (no movement for a total of 0).
    virtual void SetDone(uint64_t done, uint64_t total) = 0;
    // Whether the user asked the operation to stop.
    virtual bool Cancelled() const = 0;
    // Asks the operation to stop, as the user's Cancel does.
    virtual void Cancel() = 0;
};

// Shows the progress window of one operation, above owner and modal to it
// (none: above the main window, which it disables); the window goes when
// the returned object is destroyed.
using ProgressFactory = std::function<std::unique_ptr<ProgressView>(QWidget* owner)>;

} // namespace kw::app
