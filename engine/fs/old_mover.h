// OLDMOVER: copies runs of sectors inside one partition in two passes. It
// owns a fixed pool of job records (engine memory) and three singly linked
// lists over it: free records, records that hold a caller's buffer but no
// job, and queued jobs. Every queued job of a batch is read into its own
// buffer before any job is written, so the runs of one batch may overlap.
// The caller owns the buffers. Subclasses (the NetWare block mover) replace
// the two passes and keep the pool, the lists and Reset.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/disk/kwlib.h"

#include <cstdint>

// One record of the pool. Sector 0 means "none": a job with source 0 is not
// read and one with target 0 is not written.
struct MOVER_JOB {
    MOVER_JOB* next = nullptr;
    uint32_t source = 0;
    uint32_t target = 0;
    uint32_t count = 0;
    uint8_t* buffer = nullptr;
    uint32_t bufferSize = 0;
    kwRet result = MOVER_NOT_REACHED;
    // The result of a job that no pass has reached yet.
    static constexpr kwRet MOVER_NOT_REACHED = 0xFFFFFFFF;
};

class OLDMOVER : public KwEngineAlloc {
public:
    static constexpr uint32_t SORT_JOBS = 1;

    OLDMOVER() = default;
    virtual ~OLDMOVER();
    OLDMOVER(const OLDMOVER&) = delete;
    OLDMOVER& operator=(const OLDMOVER&) = delete;

    // Frees any old pool and makes n zero-filled records, all free, in array
    // order; 3 (the count then 0) when memory fails.
    kwRet AllocJobs(uint32_t n);
    // Frees the pool; only when no list is in use.
    void FreeJobs();
    // Puts the first free record, holding the buffer, at the head of the
    // buffer list; 0 when no record is free.
    uint32_t AddBuffer(uint8_t* buffer, uint32_t size);
    // The head of the buffer list, for the caller to fill and queue; null
    // when the list is empty.
    MOVER_JOB* GetFreeBuffer();
    // The caller has filled source, target and count: the job goes to the
    // head of the job list.
    void QueueJob(MOVER_JOB* job);
    // Every queued job goes back to the head of the buffer list with its
    // sectors cleared (buffer and size kept).
    void Reset();
    // The read pass and the write pass over the queued jobs. A failure stops
    // the pass at that job, whose result holds it; later jobs keep
    // MOVER_NOT_REACHED. A job larger than its buffer is refused (4) before
    // anything is read or written.
    virtual kwRet ReadJobs(kwhandle handle);
    virtual kwRet WriteJobs(kwhandle handle);
    void SortBySource();
    void SortByTarget();

    void SetSortMode(uint32_t mode) { sortMode_ = mode; }
    uint32_t SortMode() const { return sortMode_; }
    uint32_t RecordCount() const { return recordCount_; }
    MOVER_JOB* Jobs() const { return jobs_; }

    // Moves count sectors from source to target inside the partition with
    // the buffers handed in, batch by batch, so that no sector is written
    // before it has been read, whichever way the run moves and however much
    // source and target overlap. Jobs are written from the end that moves
    // first (the top when moving up, the bottom when moving down); a batch
    // spans at most the distance moved (or one job) and is flushed before
    // the next is read. *moved is then the number of sectors at their
    // target, counted from that end, and every other sector is still at its
    // source, also when the move fails or is cut off between two writes:
    // moving the rest finishes it. Sector 0 cannot be part of either run (4).
    kwRet MoveRun(kwhandle handle, uint32_t source, uint32_t target, uint32_t count,
                  uint32_t* moved);

protected:
    // One pass: reads (or writes) every job that has a source (or target).
    kwRet RunPass(kwhandle handle, bool write);

private:
    kwRet CheckJobs() const;
    uint32_t QueueBatch(uint32_t source, uint32_t target, uint32_t count, uint32_t done);
    uint32_t WrittenInOrder() const;

    MOVER_JOB* free_ = nullptr;
    MOVER_JOB* buffers_ = nullptr;
    MOVER_JOB* jobs_ = nullptr;
    MOVER_JOB* records_ = nullptr;
    uint32_t sortMode_ = 0;
    uint32_t recordCount_ = 0;
};
