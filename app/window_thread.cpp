#include "app/window_thread.h"

#include <QEventLoop>

namespace kw::app {

int RunOffWindowThread(const std::function<int()>& work) {
    if (!OnWindowThread())
        return work();
    int result = 0;
    QEventLoop loop;
    QThread* thread = QThread::create([&result, &work] { result = work(); });
    // Queued to this thread: the loop hears of the end even when the work
    // is over before it starts turning.
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    return result;
}

} // namespace kw::app
