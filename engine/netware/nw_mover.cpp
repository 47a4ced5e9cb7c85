// NWMover: buffers from the memory budget and the two passes split around
// redirected blocks.
#include "engine/netware/nw_mover.h"

#include "engine/core/engine_util.h"
#include "engine/core/progress.h"
#include "engine/netware/nw_redir.h"

#include <algorithm>

namespace kw::netware {

namespace {

constexpr uint32_t kSector = 512;

} // namespace

NWMover::~NWMover() {
    ClearIndex(&source_);
    ClearIndex(&target_);
    FreeBuffers();
}

void NWMover::ClearIndex(Index* index) {
    if (index->blocks != nullptr)
        kwFreeMemory(&index->blocks);
    delete index->area;
    *index = Index{};
}

kwRet NWMover::SetSourceRedirection(const RedirectionArea* area) {
    return SetRedirection(&source_, area);
}

kwRet NWMover::SetTargetRedirection(const RedirectionArea* area) {
    return SetRedirection(&target_, area);
}

// Copies the area, loads its redirection table and indexes every redirected
// block by its home sector. A block whose home would lie past sector
// 0xFFFFFFFF cannot be part of a run and is left out.
kwRet NWMover::SetRedirection(Index* index, const RedirectionArea* area) {
    ClearIndex(index);
    if (area == nullptr)
        return KW_OK;
    RedirectionArea* copy = area->Clone();
    if (copy == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = copy->LoadTables();
    RedirectTable* table = rc == KW_OK ? copy->Redirects() : nullptr;
    const uint32_t entries = table != nullptr ? table->Entries() : 0;
    Redirected* blocks = nullptr;
    if (rc == KW_OK && entries != 0 &&
        kwGetMemory(entries * uint32_t{sizeof(Redirected)}, &blocks) != KW_OK)
        rc = ERR_NO_MEMORY;
    if (rc != KW_OK) {
        delete copy;
        return rc;
    }
    const uint32_t spb = copy->GetSectorsPerBlock();
    const uint64_t base = uint64_t{copy->GetStartSector()} + copy->GetSectorCount();
    uint32_t n = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t value = table->Get(i);
        const uint64_t home = base + value;
        const uint64_t replacement = copy->GetStartSector() + uint64_t{i} * spb;
        if (IsRedirected(value) && home + spb <= UINT32_MAX && replacement + spb <= UINT32_MAX)
            blocks[n++] = {static_cast<uint32_t>(home), static_cast<uint32_t>(replacement)};
    }
    std::sort(blocks, blocks + n, [](const Redirected& a, const Redirected& b) {
        return a.home != b.home ? a.home < b.home : a.replacement < b.replacement;
    });
    *index = {blocks, n, spb, copy};
    return KW_OK;
}

uint32_t NWMover::MapSector(bool target, uint32_t sector, uint32_t count, uint32_t* run) const {
    const Index& index = target ? target_ : source_;
    const Redirected* begin = index.blocks;
    const Redirected* end = begin + index.count;
    // The first block whose home lies after the sector; the one before it
    // is the only one that can cover the sector.
    const Redirected* next = std::upper_bound(
        begin, end, sector, [](uint32_t s, const Redirected& b) { return s < b.home; });
    if (next != index.blocks) {
        const Redirected* covering = next - 1;
        // Equal homes: the lowest area block (the first in the table) stands in.
        while (covering != index.blocks && (covering - 1)->home == covering->home)
            --covering;
        const uint32_t into = sector - covering->home;
        if (into < index.sectorsPerBlock) {
            *run = std::min(count, index.sectorsPerBlock - into);
            return covering->replacement + into;
        }
    }
    *run = next != end ? std::min(count, next->home - sector) : count;
    return sector;
}

kwRet NWMover::AllocBuffers(uint32_t ulMemBlockSize, uint32_t reserve, uint32_t ulBytesPerBlock) {
    KW_ASSERT(ulBytesPerBlock != 0);
    KW_ASSERT(ulMemBlockSize >= ulBytesPerBlock);
    KW_ASSERT(!(ulMemBlockSize % ulBytesPerBlock));
    FreeBuffers();
    if (ulMemBlockSize > kMaxMoverBufferBytes)
        return ERR_BAD_ARGUMENT;
    uint32_t budget = 0;
    kwQueryMemoryBudget(&budget);
    const uint64_t half = budget / 2;
    if (uint64_t{reserve} + ulMemBlockSize > half)
        return ERR_NO_MEMORY;
    const uint64_t pool = std::min<uint64_t>(half - reserve, kMaxMoverBufferBytes);
    const uint32_t count = static_cast<uint32_t>(pool / ulMemBlockSize);
    const uint32_t pieces = ulMemBlockSize / ulBytesPerBlock;
    if (uint64_t{pieces} * count > UINT32_MAX / sizeof(MOVER_JOB))
        return ERR_NO_MEMORY;
    kwRet rc = AllocJobs(pieces * count);
    if (rc == KW_OK && kwGetMemory(count * uint32_t{sizeof(uint8_t*)}, &buffers_) != KW_OK)
        rc = ERR_NO_MEMORY;
    if (rc != KW_OK) {
        AllocJobs(0);
        return rc;
    }
    bufferCount_ = count;
    bool roomLeft = true;
    for (uint32_t i = 0; i < count && roomLeft; ++i) {
        buffers_[i] = nullptr;
        if (kwGetMemory(ulMemBlockSize, &buffers_[i]) != KW_OK)
            continue; // a slot without memory stays empty
        for (uint32_t p = 0; p < pieces && roomLeft; ++p)
            roomLeft = AddBuffer(buffers_[i] + uint64_t{p} * ulBytesPerBlock, ulBytesPerBlock) != 0;
    }
    return KW_OK;
}

void NWMover::FreeBuffers() {
    // The records hold pointers into the buffers: the pool and its lists go
    // first.
    AllocJobs(0);
    for (uint32_t i = 0; buffers_ != nullptr && i < bufferCount_; ++i)
        if (buffers_[i] != nullptr)
            kwFreeMemory(&buffers_[i]);
    if (buffers_ != nullptr)
        kwFreeMemory(&buffers_);
    bufferCount_ = 0;
}

uint32_t NWMover::CountJobs() const {
    uint32_t n = 0;
    for (const MOVER_JOB* j = Jobs(); j != nullptr; j = j->next)
        if (j->buffer != nullptr && (j->source != 0 || j->target != 0))
            ++n;
    return n;
}

kwRet NWMover::ReadJobs(kwhandle handle) {
    return source_.area != nullptr ? Pass(handle, false) : OLDMOVER::ReadJobs(handle);
}

kwRet NWMover::WriteJobs(kwhandle handle) {
    return target_.area != nullptr ? Pass(handle, true) : OLDMOVER::WriteJobs(handle);
}

// One pass over the queued jobs, each split into pieces that lie wholly in
// one redirected block or wholly outside every one.
kwRet NWMover::Pass(kwhandle handle, bool write) {
    auto* progress = new Progress;
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    if (SortMode() == SORT_JOBS)
        write ? SortByTarget() : SortBySource();
    kwRet rc = KW_OK;
    uint64_t total = 0;
    for (MOVER_JOB* j = Jobs(); j != nullptr; j = j->next) {
        if (j->buffer == nullptr || j->count > j->bufferSize / kSector)
            rc = ERR_BAD_ARGUMENT;
        j->result = MOVER_JOB::MOVER_NOT_REACHED;
        total += (write ? j->target : j->source) != 0 ? j->count : 0;
    }
    uint64_t done = 0;
    for (MOVER_JOB* j = Jobs(); j != nullptr && rc == KW_OK; j = j->next) {
        uint32_t sector = write ? j->target : j->source;
        if (sector == 0)
            continue;
        uint8_t* at = j->buffer;
        for (uint32_t left = j->count; left != 0 && rc == KW_OK;) {
            uint32_t run = 0;
            const uint32_t mapped = MapSector(write, sector, left, &run);
            rc = write ? kwLogWrite(handle, mapped, at, run) : kwLogRead(handle, mapped, at, run);
            sector += run;
            left -= run;
            at += uint64_t{run} * kSector;
        }
        j->result = rc;
        if (rc == KW_OK) {
            done += j->count;
            rc = progress->UpdateCount(done, total);
        }
    }
    if (rc == KW_OK)
        rc = progress->Done();
    delete progress;
    return rc;
}

} // namespace kw::netware
