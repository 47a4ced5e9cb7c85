// NWMover: the sector-run mover of NetWare partition and segment moves. It
// is an OLDMOVER that owns its buffers (taken from the engine's memory
// budget, at most kMaxMoverBufferBytes in all) and knows about hot-fix
// redirection: a sector of a run whose block was redirected is read from, or
// written to, its replacement block inside the redirection area rather than
// its bad home sector. It owns private copies of the source and target
// redirection areas with a sorted index of their redirected blocks.
#pragma once

#include "engine/fs/old_mover.h"

#include <cstdint>

namespace kw::netware {

class RedirectionArea;

// The most memory the mover's buffers take together, whatever the budget.
inline constexpr uint32_t kMaxMoverBufferBytes = 64u << 20;

class NWMover : public OLDMOVER {
public:
    NWMover() = default;
    ~NWMover() override;

    // Sectors of the partitions read (source) or written (target) that lie in
    // a redirected block go to its replacement in this area. The mover keeps
    // a copy of the area (partition, header, start offset) and reads its
    // redirection table; on failure nothing is kept and the code returned (3
    // without memory). A null area removes the redirection.
    kwRet SetSourceRedirection(const RedirectionArea* area);
    kwRet SetTargetRedirection(const RedirectionArea* area);

    // Buffers of bufferSize bytes, each split into job buffers of
    // bytesPerBlock bytes, from half the memory budget less `reserve`, and
    // never more than kMaxMoverBufferBytes together (one buffer at least).
    // bufferSize must be a non-zero multiple of bytesPerBlock (assertion).
    // 3 when the budget cannot hold reserve + one buffer or memory fails; 4
    // for one buffer above the cap. Frees earlier buffers first.
    kwRet AllocBuffers(uint32_t bufferSize, uint32_t reserve, uint32_t bytesPerBlock);
    void FreeBuffers();
    uint32_t BufferCount() const { return bufferCount_; }

    // Queued jobs that will be read or written (a source or a target and a
    // buffer); jobs with neither are skipped, not counted.
    uint32_t CountJobs() const;

    // The passes: with a redirection area set, the jobs are split around
    // redirected blocks; otherwise OLDMOVER's passes run.
    kwRet ReadJobs(kwhandle handle) override;
    kwRet WriteJobs(kwhandle handle) override;

    // The sector a partition sector is transferred at: its replacement when
    // it lies in a redirected block of the area set (then *run is how many
    // sectors of that block follow it, itself included), else itself with
    // *run the sectors up to the next redirected block (at most `count`).
    uint32_t MapSector(bool target, uint32_t sector, uint32_t count, uint32_t* run) const;

private:
    // One redirected block: its home partition sector and the area sector
    // standing in for it.
    struct Redirected {
        uint32_t home;
        uint32_t replacement;
    };
    struct Index {
        Redirected* blocks = nullptr;
        uint32_t count = 0;
        uint32_t sectorsPerBlock = 0;
        RedirectionArea* area = nullptr;
    };

    kwRet SetRedirection(Index* index, const RedirectionArea* area);
    static void ClearIndex(Index* index);
    kwRet Pass(kwhandle handle, bool write);

    uint8_t** buffers_ = nullptr;
    uint32_t bufferCount_ = 0;
    Index source_;
    Index target_;
};

} // namespace kw::netware
