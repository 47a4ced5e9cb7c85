#include "engine/ntfs/ntfs_shrink.h"

#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

using namespace kw::ntfs;

namespace {

const char kName[] = "NTFS Shrink On-the-fly";
constexpr uint64_t kMftRecord = 0;
constexpr uint64_t kLogRecord = 2;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kBadClusRecord = 8;
constexpr uint16_t kRestartClean = 2;
const uint8_t kNoName[1] = {0};
const uint8_t kBad[8] = {'$', 0, 'B', 0, 'a', 0, 'd', 0};

struct Move {
    uint64_t from = 0;
    uint64_t to = 0;
    uint64_t count = 0;
    bool mft = false; // clusters of the $MFT's own data
};

kwRet Step(const char* code, kwRet rc) {
    if (rc != KW_OK)
        DbgPrintf("%s: [%s] error %d\n", kName, code, static_cast<int>(rc));
    return rc;
}

bool Is(const Attribute& a, uint32_t type, Bytes name) {
    return a.type == type && a.name.size() == name.size() &&
           std::equal(a.name.begin(), a.name.end(), name.begin());
}

} // namespace

// The shrink's plan and its writes; a friend of the volume for its bitmaps.
class NTFS_SHRINK {
public:
    NTFS_SHRINK(NTFS_FILESYSTEM* fs, uint64_t newSectors)
        : fs_(fs), g_(fs->GetGeometry()), newSectors_(newSectors),
          end_((newSectors - 1) / fs->GetGeometry().sectorsPerCluster) {}

    kwRet Plan(const NTFS_MOVE_RUN* oldRuns, const NTFS_MOVE_RUN* newRuns);
    kwRet Write();
    uint64_t End() const { return end_; }

private:
    kwRet checkLog();
    kwRet takeLists(const NTFS_MOVE_RUN* oldRuns, const NTFS_MOVE_RUN* newRuns);
    kwRet scanRecords();
    kwRet planMoves();
    kwRet planBitmap();
    kwRet remapRecord(uint64_t number, std::vector<uint8_t>* image);
    std::vector<Run> remap(const std::vector<Run>& runs) const;
    kwRet copyData(bool mft);
    kwRet writeRecords(bool mirrored);
    kwRet newBootSector(uint8_t* boot);
    kwRet writeBoot(const uint8_t* boot);
    kwRet cutBadAndBitmap();

    NTFS_FILESYSTEM* fs_;
    const Geometry& g_;
    uint64_t newSectors_;
    uint64_t end_; // the new cluster count
    std::vector<Move> listed_;
    std::vector<Move> moves_;
    std::vector<Run> beyond_;     // used ranges past the end (lcn, length)
    std::vector<bool> beyondMft_; // whether each holds the $MFT's data
    std::set<uint64_t> records_;
    std::vector<Run> bitmapRuns_; // $Bitmap's new place, when it moves
    std::map<uint64_t, std::vector<uint8_t>> images_;
};

// A volume whose $LogFile still holds changes to replay is not touched.
kwRet NTFS_SHRINK::checkLog() {
    NTFS_STREAM log;
    kwRet rc = fs_->LoadStream(kLogRecord, ATTR_DATA, Bytes(kNoName, 0), &log);
    if (rc != KW_OK || log.Size() < 512)
        return rc;
    uint8_t page[512];
    rc = fs_->ReadStream(log, 0, page, sizeof page);
    if (rc != KW_OK)
        return rc;
    if (std::memcmp(page, "RSTR", 4) != 0 && std::memcmp(page, "CHKD", 4) != 0)
        return KW_OK; // never used, or emptied
    uint32_t area = kwbytes::LoadLe16(page + 0x18);
    if (area + 0x10 > 510)
        return ERR_WRITE_PROTECTED;
    uint16_t flags = kwbytes::LoadLe16(page + area + 0x0E);
    if (!(flags & kRestartClean)) {
        DbgPrintf("%s: the log file holds changes not yet applied\n", kName);
        return ERR_WRITE_PROTECTED;
    }
    return KW_OK;
}

// The caller's lists: each pair of the same length, every target free and
// below the new end (506 otherwise); the targets are taken.
kwRet NTFS_SHRINK::takeLists(const NTFS_MOVE_RUN* o, const NTFS_MOVE_RUN* w) {
    for (int guard = 0; o != nullptr && w != nullptr && guard < 1 << 20;
         ++guard, o = o->next, w = w->next) {
        if (o->count != w->count)
            return ERR_BAD_ARGUMENT;
        if (uint64_t{w->first} + w->count > end_) {
            DbgPrintf("kwShrinkNtfsOnTheFly fatal error, cluster is outside partition.\n");
            return ERR_NO_ROOM_TO_SHRINK;
        }
        for (uint64_t c = w->first; c < uint64_t{w->first} + w->count; ++c) {
            if (fs_->ClusterUsed(c)) {
                DbgPrintf("kwShrinkNtfsOnTheFly fatal error, bitmap conflicts with pNewRuns.\n");
                return ERR_NO_ROOM_TO_SHRINK;
            }
        }
        fs_->MarkClusters(w->first, w->count, true);
        listed_.push_back(Move{o->first, w->first, o->count});
    }
    return (o == nullptr) == (w == nullptr) ? KW_OK : ERR_BAD_ARGUMENT;
}

// Every run past the end, and the records that hold one. The $MFT must lie
// below the end; $Bitmap and $Bad are cut, not moved.
kwRet NTFS_SHRINK::scanRecords() {
    for (uint64_t n = 0; n < fs_->GetRecordCount(); ++n) {
        std::vector<uint8_t> r;
        kwRet rc = fs_->ReadRecordForChange(n, &r, true);
        if (rc != KW_OK)
            return rc;
        RecordHeader h;
        h.firstAttribute = kwbytes::LoadLe16(r.data() + FRS_FIRST_ATTRIBUTE);
        h.bytesInUse = kwbytes::LoadLe32(r.data() + FRS_BYTES_IN_USE);
        h.flags = kwbytes::LoadLe16(r.data() + FRS_FLAGS);
        if (std::memcmp(r.data(), "FILE", 4) != 0 || !(h.flags & FRS_IN_USE))
            continue;
        AttributeWalk walk(r, h);
        Attribute a;
        while ((rc = walk.Next(&a)) == KW_OK) {
            if (!a.nonResident || (n == kBadClusRecord && Is(a, ATTR_DATA, Bytes(kBad, 8))) ||
                (n == kBitmapRecord && Is(a, ATTR_DATA, Bytes(kNoName, 0))))
                continue;
            std::vector<Run> runs;
            rc = DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, g_.clusterCount, &runs);
            if (rc != KW_OK)
                return rc;
            for (const Run& run : runs) {
                if (run.kind != RunKind::Clusters || run.lcn + run.length <= end_)
                    continue;
                // Record 0 is read from the $MFT's first cluster, which the
                // boot sector names: that run stays where it is.
                bool mft = n == kMftRecord && Is(a, ATTR_DATA, Bytes(kNoName, 0));
                if (mft && run.vcn == 0) {
                    DbgPrintf("%s: the $MFT begins past the new end\n", kName);
                    return ERR_NO_ROOM_TO_SHRINK;
                }
                uint64_t first = std::max(run.lcn, end_);
                beyond_.push_back(Run{0, run.lcn + run.length - first, first, RunKind::Clusters});
                beyondMft_.push_back(mft);
                records_.insert(n);
            }
        }
        if (rc != ERR_NO_MORE_NAMES)
            return rc;
    }
    return KW_OK;
}

// Each range past the end goes where the lists say, else to clusters
// taken below the end (one piece when there is one).
kwRet NTFS_SHRINK::planMoves() {
    for (size_t i = 0; i < beyond_.size(); ++i) {
        const Run& b = beyond_[i];
        const bool mft = beyondMft_[i];
        for (uint64_t c = b.lcn; c < b.lcn + b.length;) {
            auto listed = std::find_if(listed_.begin(), listed_.end(), [&](const Move& m) {
                return c >= m.from && c < m.from + m.count;
            });
            if (listed != listed_.end()) {
                uint64_t n = std::min(b.lcn + b.length, listed->from + listed->count) - c;
                moves_.push_back(Move{c, listed->to + (c - listed->from), n, mft});
                c += n;
                continue;
            }
            uint64_t n = 1;
            while (c + n < b.lcn + b.length &&
                   std::none_of(listed_.begin(), listed_.end(), [&](const Move& m) {
                       return c + n >= m.from && c + n < m.from + m.count;
                   }))
                ++n;
            std::vector<Run> pieces;
            kwRet rc = fs_->AllocateClusters(n, true, nullptr, &pieces);
            if (rc != KW_OK)
                rc = fs_->AllocateClusters(n, false, nullptr, &pieces);
            if (rc != KW_OK) {
                DbgPrintf("kwShrinkNtfsOnTheFly fatal error, no room to vacate the end.\n");
                return ERR_NO_ROOM_TO_SHRINK;
            }
            uint64_t at = c;
            for (const Run& p : pieces) {
                moves_.push_back(Move{at, p.lcn, p.length, mft});
                at += p.length;
            }
            c += n;
        }
    }
    return KW_OK;
}

// $Bitmap stays where it is when all of it lies below the end; else a new
// place of its present size is taken (cut to the new size at the end).
kwRet NTFS_SHRINK::planBitmap() {
    NTFS_STREAM bitmap;
    kwRet rc = fs_->LoadStream(kBitmapRecord, ATTR_DATA, Bytes(kNoName, 0), &bitmap);
    if (rc != KW_OK)
        return rc;
    bool below = std::all_of(bitmap.runs.begin(), bitmap.runs.end(), [&](const Run& r) {
        return r.kind != RunKind::Clusters || r.lcn + r.length <= end_;
    });
    if (below)
        return KW_OK;
    uint64_t clusters =
        bitmap.runs.empty() ? 0 : bitmap.runs.back().vcn + bitmap.runs.back().length;
    std::vector<Run> pieces;
    rc = fs_->AllocateClusters(clusters, true, nullptr, &pieces);
    if (rc != KW_OK)
        rc = fs_->AllocateClusters(clusters, false, nullptr, &pieces);
    if (rc != KW_OK)
        return ERR_NO_CONTIGUOUS_SPACE;
    uint64_t vcn = 0;
    for (Run p : pieces) {
        p.vcn = vcn;
        vcn += p.length;
        bitmapRuns_.push_back(p);
    }
    records_.insert(kBitmapRecord);
    return KW_OK;
}

std::vector<Run> NTFS_SHRINK::remap(const std::vector<Run>& runs) const {
    std::vector<Run> out;
    auto add = [&](Run r) {
        if (!out.empty() && out.back().kind == RunKind::Clusters && r.kind == RunKind::Clusters &&
            out.back().lcn + out.back().length == r.lcn) {
            out.back().length += r.length;
            return;
        }
        out.push_back(r);
    };
    for (const Run& run : runs) {
        if (run.kind != RunKind::Clusters || run.lcn + run.length <= end_) {
            add(run);
            continue;
        }
        for (uint64_t i = 0; i < run.length;) {
            uint64_t c = run.lcn + i;
            Run piece{run.vcn + i, 0, c, RunKind::Clusters};
            auto m = std::find_if(moves_.begin(), moves_.end(), [&](const Move& mv) {
                return c >= mv.from && c < mv.from + mv.count;
            });
            if (m == moves_.end()) {
                // below the end: up to the end or the run's end
                piece.length = std::min(run.length - i, end_ > c ? end_ - c : 1);
            } else {
                piece.length = std::min(run.length - i, m->from + m->count - c);
                piece.lcn = m->to + (c - m->from);
            }
            add(piece);
            i += piece.length;
        }
    }
    return out;
}

// The record with every extent past the end remapped (and $Bitmap's data
// pointed at its new place); 1519 when a run list no longer fits.
kwRet NTFS_SHRINK::remapRecord(uint64_t number, std::vector<uint8_t>* image) {
    kwRet rc = fs_->ReadRecordForChange(number, image);
    for (size_t index = 0; rc == KW_OK; ++index) {
        RecordHeader h;
        h.firstAttribute = kwbytes::LoadLe16(image->data() + FRS_FIRST_ATTRIBUTE);
        h.bytesInUse = kwbytes::LoadLe32(image->data() + FRS_BYTES_IN_USE);
        AttributeWalk walk(*image, h);
        Attribute a;
        uint32_t offset = h.firstAttribute;
        size_t i = 0;
        while ((rc = walk.Next(&a)) == KW_OK && i < index) {
            offset += kwbytes::LoadLe32(image->data() + offset + AR_LENGTH);
            ++i;
        }
        if (rc != KW_OK)
            return rc == ERR_NO_MORE_NAMES ? KW_OK : rc;
        if (!a.nonResident || (number == kBadClusRecord && Is(a, ATTR_DATA, Bytes(kBad, 8))))
            continue;
        bool bitmap = number == kBitmapRecord && Is(a, ATTR_DATA, Bytes(kNoName, 0));
        if (bitmap && bitmapRuns_.empty())
            continue;
        std::vector<Run> runs;
        rc = DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, g_.clusterCount, &runs);
        if (rc != KW_OK)
            return rc;
        std::vector<Run> now = bitmap ? bitmapRuns_ : remap(runs);
        size_t taken = 0;
        rc = StoreRuns(*image, offset, now, a.lowestVcn, &taken);
        if (rc == KW_OK && taken != now.size())
            rc = ERR_ATTRIBUTE_DATA_FIT;
        if (rc == KW_OK && bitmap) {
            uint64_t clusters = now.back().vcn + now.back().length;
            kw::ntfs::SetSizes(*image, offset, clusters * g_.bytesPerCluster, a.dataSize,
                               a.initializedSize);
        }
    }
    return rc;
}

kwRet NTFS_SHRINK::Plan(const NTFS_MOVE_RUN* oldRuns, const NTFS_MOVE_RUN* newRuns) {
    fs_->SetTargetClusters(end_);
    kwRet rc = Step("INIT101", checkLog());
    if (rc == KW_OK)
        rc = Step("SVAC101", takeLists(oldRuns, newRuns));
    if (rc == KW_OK)
        rc = Step("SVAC101", scanRecords());
    if (rc == KW_OK)
        rc = Step("SVAC101", planMoves());
    if (rc == KW_OK)
        rc = Step("IBITM01", planBitmap());
    for (auto it = records_.begin(); rc == KW_OK && it != records_.end(); ++it)
        rc = Step("SVAC101", remapRecord(*it, &images_[*it]));
    return rc;
}

kwRet NTFS_SHRINK::copyData(bool mft) {
    const uint64_t cluster = g_.bytesPerCluster;
    std::vector<uint8_t> buffer;
    for (const Move& m : moves_) {
        for (uint64_t done = 0; m.mft == mft && done < m.count;) {
            uint64_t n =
                std::min<uint64_t>(m.count - done, std::max<uint64_t>(1, (4u << 20) / cluster));
            NTFS_STREAM src;
            src.nonResident = true;
            src.dataSize = src.initializedSize = src.allocatedSize = n * cluster;
            src.runs.push_back(Run{0, n, m.from + done, RunKind::Clusters});
            NTFS_STREAM dst = src;
            dst.runs[0].lcn = m.to + done;
            buffer.resize(static_cast<size_t>(n * cluster));
            kwRet rc = fs_->ReadStream(src, 0, buffer.data(), buffer.size());
            if (rc == KW_OK)
                rc = fs_->WriteStream(dst, 0, buffer.data(), buffer.size());
            if (rc != KW_OK)
                return rc;
            done += n;
        }
    }
    return fs_->FlushVolume();
}

// The records the mirror holds go under one hold: the mirror is rewritten
// once, at its new place when it moves.
kwRet NTFS_SHRINK::writeRecords(bool mirrored) {
    const uint64_t count = fs_->mirroredRecords();
    bool any = std::any_of(images_.begin(), images_.end(),
                           [&](const auto& i) { return (i.first < count) == mirrored; });
    if (!any)
        return KW_OK;
    kwRet rc = mirrored ? fs_->HoldMirror() : KW_OK;
    for (auto it = images_.begin(); rc == KW_OK && it != images_.end(); ++it) {
        if ((it->first < count) == mirrored)
            rc = Step("LMFT101", fs_->WriteRecord(it->first, it->second));
    }
    if (mirrored)
        rc = Step("CMIRR03", fs_->ReleaseMirror(rc));
    return rc == KW_OK ? fs_->FlushVolume() : rc;
}

// Sector 0 as it will be: the new total, and $MFTMirr's first cluster where
// its runs put it.
kwRet NTFS_SHRINK::newBootSector(uint8_t* boot) {
    kwRet rc = fs_->ReadSectors(0, boot, 1);
    std::vector<Run> mirror = remap(fs_->mirrorStream_.runs);
    if (rc == KW_OK && (mirror.empty() || mirror[0].kind != RunKind::Clusters))
        rc = ERR_RUN_LIST;
    if (rc != KW_OK)
        return Step("LMFT201", rc);
    kwbytes::StoreLe64(boot + 0x28, newSectors_ - 1);
    kwbytes::StoreLe64(boot + 0x38, mirror[0].lcn);
    return KW_OK;
}

// Sector 0, then the old backup at the partition's end, which says the same
// until the partition is cut to the new size. A cut between the two leaves
// sector 0 agreeing with the backup at the new last sector (written
// before): the first change of the volume copies it to the partition's end.
kwRet NTFS_SHRINK::writeBoot(const uint8_t* boot) {
    kwRet rc = Step("WBOOT01", fs_->WriteSectors(0, boot, 1));
    if (rc == KW_OK)
        rc = fs_->FlushVolume();
    if (rc == KW_OK && g_.totalSectors < fs_->GetPI()->NumSects)
        rc = Step("WBOOT02", fs_->WriteSectors(static_cast<uint32_t>(g_.totalSectors), boot, 1));
    return rc == KW_OK ? fs_->FlushVolume() : rc;
}

// Once the volume is smaller: $Bad covers the new clusters only and $Bitmap
// holds the new count of bits (rounded to 64).
kwRet NTFS_SHRINK::cutBadAndBitmap() {
    std::vector<uint8_t> r;
    kwRet rc = fs_->ReadRecordForChange(kBadClusRecord, &r);
    uint32_t at = rc == KW_OK ? FindAttribute(r, ATTR_DATA, Bytes(kBad, 8)) : 0;
    if (rc == KW_OK && at != 0 && r[at + AR_NON_RESIDENT] == 1) {
        std::vector<Run> runs;
        rc =
            DecodeRuns(Bytes(r).subspan(at + kwbytes::LoadLe16(r.data() + at + AR_PAIRS_OFFSET)), 0,
                       kwbytes::LoadLe64(r.data() + at + AR_HIGHEST_VCN), g_.clusterCount, &runs);
        std::vector<Run> kept;
        for (Run run : runs) {
            if (run.vcn >= end_)
                break;
            run.length = std::min(run.length, end_ - run.vcn);
            if (run.kind == RunKind::Clusters && run.lcn + run.length > end_)
                run.kind = RunKind::NoClusters; // a bad cluster past the end is gone
            kept.push_back(run);
        }
        size_t taken = 0;
        if (rc == KW_OK)
            rc = StoreRuns(r, at, kept, 0, &taken);
        if (rc == KW_OK) {
            uint64_t bytes = end_ * g_.bytesPerCluster;
            kw::ntfs::SetSizes(r, at, bytes, bytes, bytes);
            rc = Step("OBADC03", fs_->WriteRecord(kBadClusRecord, r));
        }
    }
    if (rc == KW_OK)
        rc = fs_->ReadRecordForChange(kBitmapRecord, &r);
    at = rc == KW_OK ? FindAttribute(r, ATTR_DATA, Bytes(kNoName, 0)) : 0;
    if (rc == KW_OK && at != 0 && r[at + AR_NON_RESIDENT] == 1) {
        uint64_t bytes = (end_ + 63) / 64 * 8;
        kw::ntfs::SetSizes(r, at, kwbytes::LoadLe64(r.data() + at + AR_ALLOCATED), bytes, bytes);
        rc = Step("RBITM04", fs_->WriteRecord(kBitmapRecord, r));
    }
    return rc == KW_OK ? fs_->FlushVolume() : rc;
}

// The copies first, then $Bitmap; the records that name new places, those
// in the $MFT's clusters that move before their copy; the mirrored records
// (the mirror rewritten at its place); the backup boot sector at the new
// last sector, sector 0 and the old backup; last the cuts of $Bitmap and $Bad.
kwRet NTFS_SHRINK::Write() {
    uint8_t boot[512];
    kwRet rc = newBootSector(boot);
    if (rc == KW_OK)
        rc = copyData(false);
    // Past the end every bit is set: nothing is taken there from now on.
    for (uint64_t c = end_; c < fs_->clusterBits_.size() * 8; ++c)
        fs_->clusterBits_[c / 8] |= static_cast<uint8_t>(1u << (c % 8));
    fs_->clusterLow_ = std::min<size_t>(fs_->clusterLow_, end_ / 8);
    fs_->clusterHigh_ = fs_->clusterBits_.size();
    if (rc == KW_OK)
        rc = Step("RBITM03", fs_->WriteVolumeBitmap());
    if (rc == KW_OK && !bitmapRuns_.empty()) {
        NTFS_STREAM place = fs_->bitmapStream_;
        place.runs = bitmapRuns_;
        rc = Step("RBITM03",
                  fs_->WriteStream(place, 0, fs_->clusterBits_.data(), fs_->clusterBits_.size()));
    }
    if (rc == KW_OK)
        rc = fs_->FlushVolume();
    if (rc == KW_OK)
        rc = writeRecords(false);
    if (rc == KW_OK)
        rc = copyData(true);
    if (rc == KW_OK)
        rc = writeRecords(true);
    // The new last sector may lie in the old place of a mirrored record's
    // data: it is written once they have moved.
    if (rc == KW_OK)
        rc = Step("WBOOT02", fs_->WriteSectors(static_cast<uint32_t>(newSectors_ - 1), boot, 1));
    if (rc == KW_OK)
        rc = fs_->FlushVolume();
    if (rc == KW_OK)
        rc = writeBoot(boot);
    if (rc == KW_OK)
        rc = cutBadAndBitmap();
    return rc;
}

kwRet kwShrinkNtfsOnTheFly(NTFS_FILESYSTEM* fs, uint32_t newSectors, uint32_t oldSectors,
                           const NTFS_MOVE_RUN* oldRuns, const NTFS_MOVE_RUN* newRuns) {
    DbgPrintf("%s: Resizing from %lu to %lu sectors\n", kName,
              static_cast<unsigned long>(oldSectors), static_cast<unsigned long>(newSectors));
    if (fs == nullptr || newSectors == 0)
        return ERR_BAD_ARGUMENT;
    kwRet rc = Step("INIT101", fs->CheckWritable());
    if (rc != KW_OK)
        return rc;
    const Geometry& g = fs->GetGeometry();
    uint64_t end = (uint64_t{newSectors} - 1) / g.sectorsPerCluster;
    if (end == g.clusterCount)
        return KW_OK;
    if (end > g.clusterCount || newSectors > g.totalSectors + 1)
        return ERR_BAD_ARGUMENT;
    NTFS_SHRINK shrink(fs, newSectors);
    rc = shrink.Plan(oldRuns, newRuns);
    if (rc != KW_OK) {
        fs->Init(); // the plan took clusters in memory only
        return rc;
    }
    rc = shrink.Write();
    kwRet reopened = fs->Init();
    return rc != KW_OK ? rc : reopened;
}

kwRet NTFS_FILESYSTEM::CalcMinSotf(uint64_t* clusters) {
    if (clusters == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    const uint64_t count = geometry_.clusterCount;
    NTFS_STREAM bitmap;
    kwRet rc = LoadStream(kBitmapRecord, ATTR_DATA, Bytes(kNoName, 0), &bitmap);
    std::vector<uint8_t> bits(static_cast<size_t>(bitmap.Size()));
    if (rc == KW_OK)
        rc = ReadStream(bitmap, 0, bits.data(), bits.size());
    if (rc == KW_OK && (bits.size() * 8 < count || mft_.runs.empty()))
        rc = ERR_ATTRIBUTE_POSITION;
    if (rc != KW_OK)
        return rc;
    auto used = [&](uint64_t c) { return ((bits[c / 8] >> (c % 8)) & 1) != 0; };
    // $Bitmap's own clusters in use past each point are cut, not moved.
    uint64_t bitmapClusters = 0, bitmapEnd = 0;
    for (const Run& r : bitmap.runs) {
        bitmapClusters += r.length;
        if (r.kind == RunKind::Clusters)
            bitmapEnd = std::max(bitmapEnd, r.lcn + r.length);
    }
    auto moves = [&](uint64_t c) {
        return used(c) && std::none_of(bitmap.runs.begin(), bitmap.runs.end(), [&](const Run& r) {
                   return r.kind == RunKind::Clusters && c >= r.lcn && c - r.lcn < r.length;
               });
    };
    uint64_t past = 0; // clusters in use at or past n that must move
    for (uint64_t c = 0; c < count; ++c)
        past += moves(c) ? 1 : 0;
    const Run& first = mft_.runs.front();
    uint64_t n = 0, freeBelow = 0;
    for (; n < count; ++n) {
        uint64_t need = past + (bitmapEnd > n ? bitmapClusters : 0);
        if (n >= first.lcn + first.length && freeBelow >= need)
            break;
        if (!used(n))
            ++freeBelow;
        else if (moves(n))
            --past;
    }
    *clusters = n + 1;
    const uint64_t spc = geometry_.sectorsPerCluster;
    DbgPrintf("CalcMinSotf: Minimum allowable resize = %lu sectors\n",
              static_cast<unsigned long>(*clusters * spc));
    DbgPrintf("CalcMinSotf: Number of sectors to relocate in a minimum resize = %lu\n",
              static_cast<unsigned long>(past * spc));
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::Resize(uint32_t oldSize, uint32_t newSize, void* sourceRuns,
                              void* destinationRuns) {
    return kwShrinkNtfsOnTheFly(this, newSize, oldSize,
                                static_cast<const NTFS_MOVE_RUN*>(sourceRuns),
                                static_cast<const NTFS_MOVE_RUN*>(destinationRuns));
}
