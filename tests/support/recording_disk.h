// A sector source for crash tests: it passes every call to the source it
// wraps and records each write and flush in order, so a test can rebuild
// the disk as a cut after any write would have left it.
#pragma once

#include "platform/disk/disk_source.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kwtest {

// One write or flush of the disk, as the engine issued it.
struct DiskEvent {
    bool flush = false;
    uint64_t sector = 0;
    std::string bytes;
};

class RecordingSource : public kw::plat::SectorSource {
public:
    RecordingSource(std::unique_ptr<kw::plat::SectorSource> inner, std::vector<DiskEvent>* log)
        : inner_(std::move(inner)), log_(log) {}
    std::string Name() const override { return inner_->Name(); }
    uint64_t SectorCount() const override { return inner_->SectorCount(); }
    bool Writable() const override { return inner_->Writable(); }
    kw::plat::DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override {
        return inner_->Read(sector, buffer, count);
    }
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        log_->push_back(
            {false, sector, std::string(static_cast<const char*>(buffer), size_t{count} * 512)});
        return inner_->Write(sector, buffer, count);
    }
    kw::plat::DiskIoResult Flush() override {
        log_->push_back({true, 0, {}});
        return inner_->Flush();
    }

private:
    std::unique_ptr<kw::plat::SectorSource> inner_;
    std::vector<DiskEvent>* log_;
};

// Calls check(state, k) with the disk bytes after the first k writes of the
// log over `base`, for k = 0 up to all of them.
template <class Check>
void ForEachCutState(std::string state, const std::vector<DiskEvent>& log, Check check) {
    size_t writes = 0;
    check(state, writes);
    for (const DiskEvent& e : log) {
        if (e.flush)
            continue;
        state.replace(e.sector * 512, e.bytes.size(), e.bytes);
        check(state, ++writes);
    }
}

// The states a disk that reorders the writes between two flushes can leave
// beyond those of ForEachCutState: for each run of writes between flushes,
// over everything before it, the run without its first k writes (k = 1 up
// to all but one). A write that needs an earlier one of the same run on the
// disk first (a missing flush) shows in one of them. check(state) each.
template <class Check>
void ForEachReorderedCutState(std::string state, const std::vector<DiskEvent>& log, Check check) {
    size_t begin = 0;
    while (begin < log.size()) {
        size_t end = begin;
        while (end < log.size() && !log[end].flush)
            ++end;
        for (size_t skip = 1; skip < end - begin; ++skip) {
            std::string reordered = state;
            for (size_t i = begin + skip; i < end; ++i)
                reordered.replace(log[i].sector * 512, log[i].bytes.size(), log[i].bytes);
            check(reordered);
        }
        for (size_t i = begin; i < end; ++i)
            state.replace(log[i].sector * 512, log[i].bytes.size(), log[i].bytes);
        begin = end + 1;
    }
}

} // namespace kwtest
