// NETWPART_VOLUME: moving a segment's data to a free run and the segment
// after it (see nw_partresize.h). The used blocks are copied and flushed
// while the volume table still names the old run; the table write that
// names the new run comes last, so a cut leaves the segment at its old run
// or at its new one, whole.
#include "engine/core/kwmemory.h"
#include "engine/core/progress.h"
#include "engine/core/sectlist.h"
#include "engine/core/statemap.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_mover.h"
#include "engine/netware/nw_partopen.h"
#include "engine/netware/nw_partresize.h"
#include "engine/netware/nw_redir.h"
#include "engine/netware/nw_segment.h"

#include <algorithm>
#include <memory>

namespace kw::netware {

namespace {

// Mover buffers: this many blocks each.
constexpr uint32_t kBlocksPerBuffer = 16;

bool Overlaps(uint64_t a, uint64_t aCount, uint64_t b, uint64_t bCount) {
    return a < b + bCount && b < a + aCount;
}

// The target run: whole, at or behind its partition's data area, inside
// the partition, on no other segment, and (in the segment's own partition)
// apart from the segment's run, which stays live until the copy is done.
// ldaEnd: the end of the segment's own partition's data area.
kwRet CheckTarget(const NetW_Segment* s, const Region* target, uint64_t ldaEnd) {
    if (kwRet rc = target->checkIntegrity(nullptr); rc != KW_OK)
        return rc;
    const PARTITION_INFO* tpi = target->GetPartition();
    const uint64_t start = target->GetStartSector();
    const uint64_t count = target->GetSectorCount();
    if (tpi == nullptr || count < s->getSectorsInSegment() || start < tpi->ulLDABeginSector ||
        start + count > tpi->NumSects)
        return ERR_NW_REGION_INVALID;
    for (const PARTITION_INFO* written :
         {tpi, static_cast<const PARTITION_INFO*>(s->GetPartition())})
        if (kwRet rc = nwCheckWritable(written); rc != KW_OK)
            return rc;
    if (tpi == s->GetPartition() &&
        (start + count > ldaEnd ||
         Overlaps(start, count, s->GetStartSector(), s->getSectorsInSegment())))
        return ERR_NW_REGION_INVALID;
    uint32_t entries = 0;
    for (const NetW_Segment* t = SegmentsOf(tpi); t != nullptr && entries <= kMaxTableEntries;
         t = t->nextInPartition, ++entries)
        if (t != s && Overlaps(start, count, t->GetStartSector(), t->getSectorsInSegment()))
            return ERR_NW_REGION_INVALID;
    if (tpi != s->GetPartition() && entries >= kMaxTableEntries)
        return ERR_NW_TOO_MANY_SEGMENTS;
    return KW_OK;
}

// The part of the mover's half of the memory budget its buffers leave: no
// more buffers than the segment fills (the mover caps them at 64 MiB).
uint32_t BudgetLeftOver(const NetW_Segment* s, uint32_t bufferBytes) {
    uint32_t budget = 0;
    kwQueryMemoryBudget(&budget);
    const uint64_t half = budget / 2;
    const uint64_t bytes = uint64_t{s->getSectorsInSegment()} * kSectorBytes;
    const uint64_t wanted =
        std::max<uint64_t>(bufferBytes, (bytes + bufferBytes - 1) / bufferBytes * bufferBytes);
    return half > wanted ? static_cast<uint32_t>(half - wanted) : 0;
}

// Reads every queued job through one handle and writes it through the
// other; the queue is empty afterwards.
kwRet RunBatch(NWMover* mover, const PartHandle& from, const PartHandle& to, Progress* progress,
               uint64_t* done, uint64_t work, uint32_t sectors) {
    kwRet rc = mover->ReadJobs(from.Get());
    *done += sectors;
    if (rc == KW_OK)
        rc = progress->UpdateCount(*done, work);
    if (rc == KW_OK)
        rc = mover->WriteJobs(to.Get());
    *done += sectors;
    if (rc == KW_OK)
        rc = progress->UpdateCount(*done, work);
    mover->Reset();
    return rc;
}

} // namespace

kwRet NETWPART_VOLUME::MoveSegment(NetW_Segment* s, Region* target, bool test, bool copy) {
    if (s == nullptr || target == nullptr || s->GetPartition() != GetPI())
        return ERR_BAD_ARGUMENT;
    if (kwRet rc = CopySegmentData(s, target, test); rc != KW_OK)
        return rc;
    PARTITION_INFO* tpi = target->GetPartition();
    std::unique_ptr<OpenPartitionVolume> other;
    NETWPART_VOLUME* destination = this;
    if (tpi != GetPI()) {
        if (kwRet rc = nwCheckNestingRoom(1); rc != KW_OK)
            return rc;
        other.reset(new OpenPartitionVolume(tpi));
        if (other == nullptr)
            return ERR_NO_MEMORY;
        if (other->Result() != KW_OK)
            return other->Result();
        destination = other->Get();
    }
    kwRet rc =
        copy ? CopySegmentToPartition(s, tpi, target) : MoveSegmentToPartition(s, tpi, target);
    if (rc != KW_OK)
        return rc;
    const uint32_t spb = s->GetSectorsPerBlock();
    s->SetSectorCount(s->getSectorsInSegment() / spb * spb);
    // Into another partition, its table names the segment (flushed) before
    // this one's lets it go: a cut between leaves it named twice over the
    // same data, never by neither.
    RenumberSegments();
    if (destination != this) {
        destination->RenumberSegments();
        rc = destination->WriteVolumeTables(false);
        if (rc == KW_OK)
            rc = phyFlush(tpi->disk);
    }
    return rc != KW_OK ? rc : WriteVolumeTables(false);
}

kwRet NETWPART_VOLUME::CopySegmentData(NetW_Segment* s, Region* target, bool test) {
    const uint64_t ldaEnd = uint64_t{GetVolumeTableOrigin()} + GetDataAreaSectors();
    if (kwRet rc = CheckTarget(s, target, ldaEnd); rc != KW_OK)
        return rc;
    const uint32_t bytesPerBlock = s->GetSectorsPerBlock() * kSectorBytes;
    NWMover mover;
    kwRet rc =
        mover.AllocBuffers(bytesPerBlock * kBlocksPerBuffer,
                           BudgetLeftOver(s, bytesPerBlock * kBlocksPerBuffer), bytesPerBlock);
    if (rc == KW_OK && area_ != nullptr)
        rc = mover.SetSourceRedirection(area_);
    // The target's own redirected blocks are written to their replacements.
    std::unique_ptr<RedirectionArea> targetArea;
    if (rc == KW_OK && target->GetPartition() != GetPI()) {
        targetArea.reset(new RedirectionArea(target->GetPartition()));
        if (targetArea == nullptr)
            rc = ERR_NO_MEMORY;
        else if (targetArea->Initialise() == KW_OK)
            rc = mover.SetTargetRedirection(targetArea.get());
    } else if (rc == KW_OK && area_ != nullptr) {
        rc = mover.SetTargetRedirection(area_);
    }
    return rc != KW_OK ? rc : MoveSegmentData(s, target, &mover, test);
}

kwRet NETWPART_VOLUME::MoveSegmentData(NetW_Segment* s, Region* target, NWMover* mover, bool test) {
    const uint32_t sectors = s->getSectorsInSegment();
    const uint32_t spb = s->GetSectorsPerBlock();
    STATE_MAP used;
    kwRet rc = used.Create(std::max(sectors, 1u), false);
    if (rc == KW_OK)
        rc = s->MarkUsed(&used, 3);
    if (rc != KW_OK)
        return rc;
    const uint64_t work = uint64_t{2} * used.CountSet(0, sectors, sectors);
    if (work == 0)
        return KW_OK;
    PartHandle from, to;
    if ((rc = from.Open(GetPI())) != KW_OK || (rc = to.Open(target->GetPartition())) != KW_OK)
        return rc;
    Progress progress;
    if (test) {
        BAD_SECT_LIST bad;
        rc = bad.TestSects(to.Get(), target->GetStartSector(), sectors, kMsgCheckingBadSectors, 0);
        if (rc != KW_OK)
            return rc;
    }
    const uint32_t source = s->GetStartSector();
    const uint32_t destination = target->GetStartSector();
    uint64_t done = 0;
    uint32_t queued = 0;
    for (uint32_t at = 0; at + spb <= sectors && rc == KW_OK; at += spb) {
        if (used.CountSet(at, at + spb - 1, 1) == 0)
            continue;
        MOVER_JOB* job = mover->GetFreeBuffer();
        if (job == nullptr) {
            rc = RunBatch(mover, from, to, &progress, &done, work, queued);
            queued = 0;
            job = mover->GetFreeBuffer();
        }
        if (rc != KW_OK || job == nullptr)
            return rc != KW_OK ? rc : ERR_NO_MEMORY;
        job->source = source + at;
        job->target = destination + at;
        job->count = spb;
        mover->QueueJob(job);
        queued += spb;
    }
    if (rc == KW_OK && queued != 0)
        rc = RunBatch(mover, from, to, &progress, &done, work, queued);
    if (rc == KW_OK)
        rc = to.Flush();
    progress.Done();
    return rc;
}

} // namespace kw::netware
