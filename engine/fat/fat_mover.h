// Mover: a bounded queue of cluster copies inside one partition. It owns one
// pool of buffers (a cluster each) and the job records over it. Every job is
// read into its buffer before any is written, so the clusters of one batch
// may be each other's sources and targets. Reads go sorted by source and
// writes sorted by target, each run of neighbouring clusters in one request.
//
// Sectors are partition-relative first sectors of clusters; sector 0 means
// "none" (a job without source is not read, one without target not written).
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/disk/kwlib.h"

#include <cstdint>

namespace kw::fat {

struct MOVER_CLUSTER_JOB {
    uint32_t source = 0;
    uint32_t target = 0;
    uint8_t* buffer = nullptr; // the pool's cluster at the job's position
};

class Mover : public KwEngineAlloc {
public:
    // Most clusters one queue holds, whatever the memory budget.
    static constexpr uint32_t MAX_JOBS = 1000;

    Mover(kwhandle handle, uint32_t clusterBytes);
    ~Mover();
    Mover(const Mover&) = delete;
    Mover& operator=(const Mover&) = delete;

    // Makes a queue of at most min(maxClusters, MAX_JOBS) jobs, fewer when
    // half the memory budget holds fewer clusters (never fewer than one).
    // ERR_NO_MEMORY when the pool cannot be had; ERR_BAD_ARGUMENT for a
    // cluster size that is no whole number of sectors.
    kwRet Init(uint32_t maxClusters);
    void Free();
    // False when the queue is full.
    bool AddJob(uint32_t source, uint32_t target);
    void Clear() { count_ = 0; }
    uint32_t GetMaxJobs() const { return maxJobs_; }
    uint32_t GetFreeSlots() const { return maxJobs_ - count_; }
    uint32_t GetJobCount() const { return count_; }
    const MOVER_CLUSTER_JOB& Job(uint32_t i) const { return jobs_[i]; }

    // Reads every queued job's source cluster into its buffer.
    kwRet ReadQueue();
    // Writes every queued job that has a target there.
    kwRet WriteTargets();
    // The bytes of the queued cluster whose source or target is `sector`,
    // `offset` sectors in; null when no job has it or the offset is not
    // inside the cluster.
    uint8_t* FindBuffer(uint32_t sector, uint32_t offset);

private:
    kwRet writeRun(uint32_t first, uint32_t count);

    kwhandle handle_;
    uint32_t clusterBytes_;
    uint32_t clusterSectors_;
    MOVER_CLUSTER_JOB* jobs_ = nullptr;
    uint8_t* pool_ = nullptr;
    uint8_t* scratch_ = nullptr; // gathers a run of targets whose buffers lie apart
    uint32_t count_ = 0;
    uint32_t maxJobs_ = 0;
};

} // namespace kw::fat
