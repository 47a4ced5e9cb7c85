// OLDMOVER: the job pool, its lists, the two passes and the run mover.
#include "engine/fs/old_mover.h"

#include "engine/core/progress.h"
#include <new>

namespace {

constexpr uint32_t kSector = 512;

uint32_t KeyOf(const MOVER_JOB* job, bool byTarget) {
    return byTarget ? job->target : job->source;
}

// A stable bubble sort of a singly linked list, ascending by the key.
void SortList(MOVER_JOB** head, bool byTarget) {
    for (bool swapped = true; swapped;) {
        swapped = false;
        for (MOVER_JOB** link = head; *link != nullptr && (*link)->next != nullptr;
             link = &(*link)->next) {
            MOVER_JOB* a = *link;
            MOVER_JOB* b = a->next;
            if (KeyOf(b, byTarget) < KeyOf(a, byTarget)) {
                a->next = b->next;
                b->next = a;
                *link = b;
                swapped = true;
            }
        }
    }
}

} // namespace

OLDMOVER::~OLDMOVER() {
    FreeJobs();
}

kwRet OLDMOVER::AllocJobs(uint32_t n) {
    FreeJobs();
    free_ = buffers_ = jobs_ = nullptr;
    if (n == 0 || n > UINT32_MAX / sizeof(MOVER_JOB))
        return n == 0 ? KW_OK : ERR_NO_MEMORY;
    void* block = nullptr;
    if (kwGetMemory(static_cast<uint32_t>(n * sizeof(MOVER_JOB)), &block) != KW_OK ||
        block == nullptr)
        return ERR_NO_MEMORY;
    records_ = static_cast<MOVER_JOB*>(block);
    for (uint32_t i = 0; i < n; ++i) {
        new (&records_[i]) MOVER_JOB();
        records_[i].result = 0;
        records_[i].next = i + 1 < n ? &records_[i + 1] : nullptr;
    }
    free_ = records_;
    recordCount_ = n;
    return KW_OK;
}

void OLDMOVER::FreeJobs() {
    if (records_ != nullptr) {
        void* block = records_;
        kwFreeMemory(&block);
    }
    records_ = nullptr;
    recordCount_ = 0;
}

uint32_t OLDMOVER::AddBuffer(uint8_t* buffer, uint32_t size) {
    MOVER_JOB* r = free_;
    if (r == nullptr)
        return 0;
    free_ = r->next;
    r->buffer = buffer;
    r->bufferSize = size;
    r->next = buffers_;
    buffers_ = r;
    return 1;
}

MOVER_JOB* OLDMOVER::GetFreeBuffer() {
    MOVER_JOB* r = buffers_;
    if (r != nullptr) {
        buffers_ = r->next;
        r->next = nullptr;
    }
    return r;
}

void OLDMOVER::QueueJob(MOVER_JOB* job) {
    job->next = jobs_;
    jobs_ = job;
}

void OLDMOVER::Reset() {
    while (jobs_ != nullptr) {
        MOVER_JOB* r = jobs_;
        jobs_ = r->next;
        r->source = r->target = r->count = 0;
        r->next = buffers_;
        buffers_ = r;
    }
}

void OLDMOVER::SortBySource() {
    SortList(&jobs_, false);
}

void OLDMOVER::SortByTarget() {
    SortList(&jobs_, true);
}

kwRet OLDMOVER::CheckJobs() const {
    for (const MOVER_JOB* j = jobs_; j != nullptr; j = j->next)
        if (j->buffer == nullptr || j->count > j->bufferSize / kSector)
            return ERR_BAD_ARGUMENT;
    return KW_OK;
}

kwRet OLDMOVER::ReadJobs(kwhandle handle) {
    return RunPass(handle, false);
}

kwRet OLDMOVER::WriteJobs(kwhandle handle) {
    return RunPass(handle, true);
}

kwRet OLDMOVER::RunPass(kwhandle handle, bool write) {
    auto* progress = new Progress;
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    if (sortMode_ == SORT_JOBS)
        SortList(&jobs_, write);
    kwRet rc = CheckJobs();
    uint64_t total = 0;
    for (MOVER_JOB* j = jobs_; j != nullptr; j = j->next) {
        j->result = MOVER_JOB::MOVER_NOT_REACHED;
        total += KeyOf(j, write) != 0 ? j->count : 0;
    }
    uint64_t done = 0;
    for (MOVER_JOB* j = jobs_; j != nullptr && rc == KW_OK; j = j->next) {
        const uint32_t sector = KeyOf(j, write);
        if (sector == 0)
            continue;
        j->result = write ? kwLogWrite(handle, sector, j->buffer, j->count)
                          : kwLogRead(handle, sector, j->buffer, j->count);
        rc = j->result;
        if (rc == KW_OK) {
            done += j->count;
            rc = progress->UpdateCount(done, total); // 64-bit: done x 100 never wraps
        }
    }
    if (rc == KW_OK)
        rc = progress->Done();
    delete progress;
    return rc;
}

// Queues the next batch of a run: jobs taken from the end that moves first
// once `done` sectors have moved, and queued so that the job list runs from
// that end. A batch spans at most the distance moved (or its first job), so
// that no job writes over a sector another job of the batch reads: a disk
// that reorders the writes of a batch cannot lose a sector. Returns the
// sectors queued.
uint32_t OLDMOVER::QueueBatch(uint32_t source, uint32_t target, uint32_t count, uint32_t done) {
    const bool up = target > source;
    const uint32_t distance = up ? target - source : source - target;
    MOVER_JOB* ordered = nullptr; // in move order, built at the tail
    MOVER_JOB** tail = &ordered;
    uint32_t queued = 0;
    while (done + queued < count && (queued == 0 || queued < distance)) {
        MOVER_JOB* j = GetFreeBuffer();
        if (j == nullptr)
            break;
        const uint32_t room = j->bufferSize / kSector;
        uint32_t n = room < count - done - queued ? room : count - done - queued;
        if (queued > 0 && n > distance - queued)
            n = distance - queued;
        if (n == 0) {
            j->next = buffers_; // a buffer smaller than a sector is no use
            buffers_ = j;
            break;
        }
        const uint32_t offset = up ? count - done - queued - n : done + queued;
        j->source = source + offset;
        j->target = target + offset;
        j->count = n;
        queued += n;
        *tail = j;
        tail = &j->next;
    }
    // QueueJob puts each at the head: reversed first, the list keeps the
    // move order.
    MOVER_JOB* reversed = nullptr;
    while (ordered != nullptr) {
        MOVER_JOB* next = ordered->next;
        ordered->next = reversed;
        reversed = ordered;
        ordered = next;
    }
    while (reversed != nullptr) {
        MOVER_JOB* next = reversed->next;
        QueueJob(reversed);
        reversed = next;
    }
    return queued;
}

// The sectors of the queued jobs written, in list order, before the first
// job that was not.
uint32_t OLDMOVER::WrittenInOrder() const {
    uint32_t written = 0;
    for (const MOVER_JOB* j = jobs_; j != nullptr && j->result == KW_OK; j = j->next)
        written += j->count;
    return written;
}

kwRet OLDMOVER::MoveRun(kwhandle handle, uint32_t source, uint32_t target, uint32_t count,
                        uint32_t* moved) {
    *moved = 0;
    if (source == 0 || target == 0 || count > UINT32_MAX - source || count > UINT32_MAX - target)
        return ERR_BAD_ARGUMENT;
    if (source == target || count == 0) {
        *moved = count;
        return KW_OK;
    }
    PARTITION_INFO* pi = nullptr;
    kwRet rc = kwLogGetPi(handle, &pi);
    const uint32_t mode = sortMode_;
    sortMode_ = 0; // the list order is the safe order
    Reset();
    while (rc == KW_OK && *moved < count) {
        if (QueueBatch(source, target, count, *moved) == 0) {
            rc = ERR_NO_MEMORY; // no buffer was handed in
            break;
        }
        rc = ReadJobs(handle);
        if (rc == KW_OK) {
            rc = WriteJobs(handle);
            *moved += WrittenInOrder();
        }
        // The batch is on disk before the next one overwrites its sources.
        if (rc == KW_OK)
            rc = phyFlush(pi->disk);
        Reset();
    }
    sortMode_ = mode;
    return rc;
}
