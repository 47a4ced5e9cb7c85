#include "imagestore/container/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>

namespace kwv {

namespace {

constexpr uint32_t kMostThreads = 64;
std::atomic<uint32_t> g_threadSetting{0};
thread_local bool t_onWorker = false;

// A positive decimal number, or 0 when the text is not one.
uint32_t ParseCount(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return 0;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return (*end == 0 && value > 0) ? uint32_t(std::min<unsigned long>(value, kMostThreads)) : 0;
}

} // namespace

uint32_t StoreThreads() {
    if (const uint32_t set = g_threadSetting.load(); set != 0) {
        return set;
    }
    if (const uint32_t env = ParseCount(std::getenv("KW_THREADS")); env != 0) {
        return env;
    }
    return std::clamp<uint32_t>(std::thread::hardware_concurrency(), 1, kMostThreads);
}

void SetStoreThreads(uint32_t threads) {
    g_threadSetting.store(std::min(threads, kMostThreads));
}

WorkerPool::WorkerPool(uint32_t threads) {
    try {
        threads_.reserve(threads);
        for (uint32_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { Run(); });
        }
    } catch (const std::exception&) {
        // Fewer threads than asked (none at worst: jobs then run inline).
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) {
        t.join();
    }
}

void WorkerPool::Submit(std::function<void()> job) noexcept {
    if (!threads_.empty()) {
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        } catch (const std::exception&) {
            job(); // no room to queue it
            return;
        }
        wake_.notify_one();
        return;
    }
    job();
}

bool WorkerPool::OnWorkerThread() {
    return t_onWorker;
}

void WorkerPool::Run() {
    t_onWorker = true;
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return; // stopping, and nothing left to run
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

} // namespace kwv
