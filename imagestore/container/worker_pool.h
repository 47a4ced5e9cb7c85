// The worker threads of the image store, and how many of them a container
// uses. Workers only compute: they never touch a file or call a callback; the
// thread that called the library does every file access and every callback.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kwv {

// Threads a new container works with: the setting when one was made, else the
// environment variable KW_THREADS, else every core of the machine. 1 means
// that everything runs on the caller's thread.
uint32_t StoreThreads();
// The setting: 0 goes back to KW_THREADS or the cores; values above 64 count as 64.
void SetStoreThreads(uint32_t threads);

// A fixed set of threads that run submitted jobs in submission order. Owns
// its threads; the destructor runs what is queued, then joins them.
class WorkerPool {
public:
    explicit WorkerPool(uint32_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues a job; runs it at once on the caller's thread when the pool has
    // no thread or the job cannot be queued. Never throws.
    void Submit(std::function<void()> job) noexcept;
    uint32_t Size() const { return uint32_t(threads_.size()); }
    // True on a thread of any pool: one that may wait for the caller's thread.
    static bool OnWorkerThread();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace kwv
