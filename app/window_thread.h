// Work that runs off the window thread, and the way back to it: a long
// library call (a partition copy) runs on a worker thread while the windows
// keep turning, and every call the library makes into the editor from there
// (progress, media prompts, passwords) is carried over to the window thread,
// the worker waiting for its answer.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <functional>
#include <type_traits>

namespace kw::app {

inline bool OnWindowThread() {
    return QCoreApplication::instance() == nullptr ||
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Runs f on the window thread and gives its result; called there, it just
// runs f.
template <class F> auto InWindowThread(F f) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (OnWindowThread())
        return f();
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), f, Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&result, &f] { result = f(); },
            Qt::BlockingQueuedConnection);
        return result;
    }
}

// Runs work on a worker thread and turns the window thread's event loop
// until it returns; its result.
int RunOffWindowThread(const std::function<int()>& work);

} // namespace kw::app
