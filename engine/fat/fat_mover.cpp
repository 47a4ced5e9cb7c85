#include "engine/fat/fat_mover.h"

#include "engine/core/dbgmgr.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kw::fat {

namespace {

constexpr uint32_t kSector = 512;

using JobSector = uint32_t MOVER_CLUSTER_JOB::*;

void SortBy(MOVER_CLUSTER_JOB* jobs, uint32_t count, JobSector sector) {
    std::sort(jobs, jobs + count, [sector](const MOVER_CLUSTER_JOB& a, const MOVER_CLUSTER_JOB& b) {
        return a.*sector < b.*sector;
    });
}

// Hands each run of sorted jobs whose sectors follow one another by a
// cluster to `io` (first index, count); jobs without that sector are
// skipped.
template <class Io>
kwRet ForEachRun(MOVER_CLUSTER_JOB* jobs, uint32_t count, uint32_t step, JobSector sector, Io io) {
    uint32_t i = 0;
    while (i < count && jobs[i].*sector == 0)
        ++i;
    while (i < count) {
        uint32_t n = 1;
        while (i + n < count && jobs[i + n].*sector == jobs[i].*sector + n * step)
            ++n;
        if (kwRet rc = io(i, n); rc != KW_OK)
            return rc;
        i += n;
    }
    return KW_OK;
}

} // namespace

Mover::Mover(kwhandle handle, uint32_t clusterBytes)
    : handle_(handle), clusterBytes_(clusterBytes), clusterSectors_(clusterBytes / kSector) {}

Mover::~Mover() {
    Free();
}

void Mover::Free() {
    delete[] jobs_;
    delete[] pool_;
    delete[] scratch_;
    jobs_ = nullptr;
    pool_ = nullptr;
    scratch_ = nullptr;
    count_ = 0;
    maxJobs_ = 0;
}

kwRet Mover::Init(uint32_t maxClusters) {
    DbgPrintf("Mover - Init() - ulMaxClusters = %d\n", maxClusters);
    Free();
    if (clusterSectors_ == 0 || clusterBytes_ % kSector != 0)
        return ERR_BAD_ARGUMENT;
    uint32_t budget = 0;
    if (kwQueryMemoryBudget(&budget) != KW_OK)
        budget = 0;
    uint32_t jobs = std::min(maxClusters, MAX_JOBS);
    jobs = std::min(jobs, budget / 2 / clusterBytes_);
    jobs = std::max<uint32_t>(jobs, 1);
    DbgPrintf("Mover - Init() - ulMaxJobs = %d\n", jobs);
    jobs_ = new (std::nothrow) MOVER_CLUSTER_JOB[jobs];
    pool_ = new (std::nothrow) uint8_t[size_t{jobs} * clusterBytes_];
    scratch_ = new (std::nothrow) uint8_t[size_t{jobs} * clusterBytes_];
    if (jobs_ == nullptr || pool_ == nullptr || scratch_ == nullptr) {
        Free();
        return ERR_NO_MEMORY;
    }
    maxJobs_ = jobs;
    for (uint32_t i = 0; i < jobs; ++i)
        jobs_[i].buffer = pool_ + size_t{i} * clusterBytes_;
    DbgPrintf("Mover - Init() - Exit\n");
    return KW_OK;
}

bool Mover::AddJob(uint32_t source, uint32_t target) {
    if (count_ >= maxJobs_)
        return false;
    jobs_[count_].source = source;
    jobs_[count_].target = target;
    ++count_;
    return true;
}

// Sorted by source with the buffers given out again in pool order, so that
// a run of neighbouring sources lands in neighbouring buffers: one read.
kwRet Mover::ReadQueue() {
    SortBy(jobs_, count_, &MOVER_CLUSTER_JOB::source);
    for (uint32_t i = 0; i < count_; ++i)
        jobs_[i].buffer = pool_ + size_t{i} * clusterBytes_;
    return ForEachRun(jobs_, count_, clusterSectors_, &MOVER_CLUSTER_JOB::source,
                      [this](uint32_t first, uint32_t n) {
                          return kwLogRead(handle_, jobs_[first].source, jobs_[first].buffer,
                                           n * clusterSectors_);
                      });
}

kwRet Mover::writeRun(uint32_t first, uint32_t count) {
    const uint8_t* from = jobs_[first].buffer;
    bool together = true;
    for (uint32_t k = 1; k < count && together; ++k)
        together = jobs_[first + k].buffer == from + size_t{k} * clusterBytes_;
    if (!together) {
        for (uint32_t k = 0; k < count; ++k)
            std::memcpy(scratch_ + size_t{k} * clusterBytes_, jobs_[first + k].buffer,
                        clusterBytes_);
        from = scratch_;
    }
    return kwLogWrite(handle_, jobs_[first].target, from, count * clusterSectors_);
}

// Sorted by target, each job keeping its buffer; a run of neighbouring
// targets is one write.
kwRet Mover::WriteTargets() {
    SortBy(jobs_, count_, &MOVER_CLUSTER_JOB::target);
    return ForEachRun(jobs_, count_, clusterSectors_, &MOVER_CLUSTER_JOB::target,
                      [this](uint32_t first, uint32_t n) { return writeRun(first, n); });
}

uint8_t* Mover::FindBuffer(uint32_t sector, uint32_t offset) {
    if (sector == 0 || offset >= clusterSectors_)
        return nullptr;
    for (uint32_t i = 0; i < count_; ++i)
        if (jobs_[i].source == sector || jobs_[i].target == sector)
            return jobs_[i].buffer + size_t{offset} * kSector;
    return nullptr;
}

} // namespace kw::fat
