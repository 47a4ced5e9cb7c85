#include "engine/netware/nw_redir.h"

#include "engine/core/statemap.h"
#include "engine/disk/partition_info.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_vtable.h"
#include "kwbytes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::StoreLe16;
using kwbytes::StoreLe32;

namespace kw::netware {

namespace {

// The header copies must lie inside the area.
constexpr uint32_t kMinimumAreaSectors = kMirrorFirstCopy + 3 * kHeaderCopyStride + 1;

bool DescriptorsFit(const uint8_t* header, uint32_t spb, uint32_t area) {
    const uint64_t bytesPerBlock = uint64_t{spb} * kSectorBytes;
    const uint64_t needed = (uint64_t{area / spb} * 4 + bytesPerBlock - 1) / bytesPerBlock;
    uint32_t present = 0;
    while (present < kMaxRedirectTables &&
           LoadLe32(header + HF_TABLES + present * kDescriptorBytes) != 0) {
        for (uint32_t f = 0; f < 4; ++f) {
            uint32_t s = LoadLe32(header + HF_TABLES + present * kDescriptorBytes + 4 * f);
            if (s == 0 || uint64_t{s} + spb > area)
                return false;
        }
        ++present;
    }
    return present != 0 && present >= needed;
}

// Writes the four copies of a header at first + 0x20 x i, each with its
// counters raised; the first failure ends the loop.
kwRet WriteHeaderCopies(const PartHandle& handle, uint8_t* header, uint32_t first, bool mirror) {
    StoreLe16(header + HF_COUNTER, NextCounter(LoadLe16(header + HF_COUNTER)));
    if (mirror)
        StoreLe16(header + MF_SECOND_COUNTER,
                  static_cast<uint16_t>(LoadLe16(header + MF_SECOND_COUNTER) + 1));
    for (uint32_t i = 0; i < kHeaderCopies; ++i)
        if (kwRet rc = handle.Write(first + kHeaderCopyStride * i, header, 1); rc != KW_OK)
            return rc;
    return handle.Flush();
}

} // namespace

bool CounterIsNewer(uint16_t a, uint16_t b) {
    if (a == 0)
        return false;
    if (b == 0)
        return true;
    return static_cast<int16_t>(static_cast<uint16_t>(a - b)) > 0;
}

uint16_t NextCounter(uint16_t counter) {
    uint16_t next = static_cast<uint16_t>(counter + 1);
    return next == 0 ? 1 : next;
}

bool IsUsableHotfixHeader(const uint8_t* h, uint64_t partitionSectors) {
    if (std::memcmp(h + HF_MAGIC, kHotfixMagic, sizeof kHotfixMagic) != 0)
        return false;
    const uint32_t spb = h[HF_SECTORS_PER_BLOCK];
    if (spb == 0 || !std::has_single_bit(spb) || h[HF_SPB_COMPLEMENT] != uint8_t(256 - spb) ||
        h[HF_SPB_LOG2] != std::countr_zero(spb) || h[HF_SPB_MASK] != spb - 1)
        return false;
    const uint32_t area = LoadLe32(h + HF_AREA_SECTORS);
    if (area < kMinimumAreaSectors || area % spb != 0)
        return false;
    if (partitionSectors != 0 && uint64_t{area} + LoadLe32(h + HF_DATA_SECTORS) > partitionSectors)
        return false;
    return DescriptorsFit(h, spb, area);
}

kwRet ReadCurrentHeader(const PartHandle& handle, bool hotfix, uint32_t startOffset,
                        uint64_t partitionSectors, uint8_t* out, bool* found) {
    *found = false;
    uint8_t copy[kSectorBytes];
    uint16_t best = 0;
    const uint32_t first = hotfix ? kHotfixFirstCopy + startOffset : kMirrorFirstCopy;
    for (uint32_t i = 0; i < kHeaderCopies; ++i) {
        if (kwRet rc = handle.Read(first + kHeaderCopyStride * i, copy, 1); rc != KW_OK)
            return rc;
        bool counts = hotfix ? IsUsableHotfixHeader(copy, partitionSectors)
                             : std::memcmp(copy, kMirrorMagic, sizeof kMirrorMagic) == 0;
        uint16_t counter = LoadLe16(copy + HF_COUNTER);
        if (counts && CounterIsNewer(counter, best)) {
            best = counter;
            std::memcpy(out, copy, kSectorBytes);
            *found = true;
        }
    }
    return KW_OK;
}

uint32_t DefaultAreaSectors(uint32_t partitionSectors) {
    const uint64_t n = partitionSectors / 8;
    auto up = [](uint64_t a, uint64_t b) { return (a + b - 1) / b; };
    uint64_t blocks = 0;
    if (n < 31)
        blocks = 0;
    else if (n < 1550)
        blocks = 31;
    else if (n < 25600)
        blocks = up(2 * n, 100);
    else if (n < 262144)
        blocks = up(2 * n, 1000) + 460;
    else if (n < 26214400)
        blocks = up(2 * n, 10000) + 932;
    else if (n < 1253500000)
        blocks = up(2 * n, 100000) + 5650;
    else
        blocks = 30720;
    return static_cast<uint32_t>(blocks * 8);
}

kwRet LayoutTables(uint8_t* header) {
    const uint32_t spb = header[HF_SECTORS_PER_BLOCK];
    const uint32_t area = LoadLe32(header + HF_AREA_SECTORS);
    const uint64_t bytesPerBlock = uint64_t{spb} * kSectorBytes;
    const uint64_t blocks = (uint64_t{area / spb} * 4 + bytesPerBlock - 1) / bytesPerBlock;
    if (blocks == 0 || blocks > kMaxRedirectTables)
        return ERR_NW_NO_TABLE_ROOM;
    std::memset(header + HF_TABLES, 0, kMaxRedirectTables * kDescriptorBytes);
    for (uint32_t d = 0; d < blocks; ++d) {
        for (uint32_t f = 0; f < 4; ++f) {
            uint64_t position = 160 + 256ull * d + 64ull * f;
            if (position + spb > area) {
                position = 160;
                for (uint32_t g = 0; g <= d;) {
                    bool taken = false;
                    for (uint32_t k = 0; k < 4; ++k)
                        taken = taken || LoadLe32(header + HF_TABLES + g * kDescriptorBytes +
                                                  4 * k) == position;
                    if (taken)
                        position += spb;
                    else
                        ++g;
                }
                if (position + spb > area)
                    return ERR_NW_NO_TABLE_ROOM;
            }
            StoreLe32(header + HF_TABLES + d * kDescriptorBytes + 4 * f,
                      static_cast<uint32_t>(position));
        }
    }
    return KW_OK;
}

namespace {

void SetBlockSize(uint8_t* header, uint32_t spb) {
    header[HF_SECTORS_PER_BLOCK] = static_cast<uint8_t>(spb);
    header[HF_SPB_COMPLEMENT] = static_cast<uint8_t>(256 - spb);
    header[HF_SPB_LOG2] = static_cast<uint8_t>(std::countr_zero(spb));
    header[HF_SPB_MASK] = static_cast<uint8_t>(spb - 1);
}

// Writes the four copies of a new header, marking in byte 12 the copies
// whose write failed; 1421 when none could be written.
kwRet WriteNewCopies(const PartHandle& handle, uint8_t* header, uint32_t first) {
    uint16_t failed = 0;
    for (uint32_t i = 0; i < kHeaderCopies; ++i) {
        StoreLe16(header + HF_FAILED_COPIES, failed);
        if (handle.Write(first + kHeaderCopyStride * i, header, 1) != KW_OK)
            failed = static_cast<uint16_t>(failed | 1u << i);
    }
    if (failed == 0xF)
        return ERR_NW_CANNOT_FORMAT;
    return handle.Flush();
}

kwRet WriteNewTables(PARTITION_INFO* pi, const uint8_t* header, uint32_t startOffset) {
    RedirectTable redirects(pi, header);
    ErrorTable errors(pi, header);
    kwRet rc = redirects.Initialise(true);
    if (rc == KW_OK)
        rc = errors.Initialise(true);
    if (rc != KW_OK)
        return rc;
    redirects.MarkSystemBlocks();
    rc = redirects.Write(0, startOffset);
    return rc != KW_OK ? rc : errors.Write(0, startOffset);
}

} // namespace

kwRet RedirectionArea::Create(PARTITION_INFO* pi, uint32_t spb, uint32_t areaSectors,
                              uint32_t startOffset) {
    if (spb == 0 || spb > 128 || !std::has_single_bit(spb))
        return ERR_BAD_ARGUMENT;
    const uint32_t area = areaSectors != 0 ? areaSectors : DefaultAreaSectors(pi->NumSects);
    if (area < kMinimumAreaSectors || area % spb != 0 ||
        uint64_t{startOffset} + area > pi->NumSects)
        return ERR_NW_NO_TABLE_ROOM;
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    if (rc != KW_OK)
        return rc;
    const uint32_t id = pi->ulSerial != 0 ? pi->ulSerial : nwNewPartitionId(0);
    uint8_t mirror[kSectorBytes] = {};
    std::memcpy(mirror, kMirrorMagic, sizeof kMirrorMagic);
    StoreLe32(mirror + MF_PARTITION_ID, id);
    StoreLe16(mirror + MF_COUNTER, 1);
    SetBlockSize(mirror, spb);
    StoreLe16(mirror + MF_SECOND_COUNTER, 1);
    StoreLe32(mirror + MF_CREATED_MARK, kMirrorCreatedMark);
    StoreLe32(mirror + MF_ID_PLUS_9, id + 9);
    StoreLe32(mirror + MF_MEMBERS, id);
    uint8_t hotfix[kSectorBytes] = {};
    std::memcpy(hotfix, kHotfixMagic, sizeof kHotfixMagic);
    StoreLe32(hotfix + HF_PARTITION_ID, id);
    StoreLe16(hotfix + HF_COUNTER, 1);
    SetBlockSize(hotfix, spb);
    StoreLe32(hotfix + HF_AREA_SECTORS, area);
    StoreLe32(hotfix + HF_DATA_SECTORS, (pi->NumSects & ~7u) - std::min(area, pi->NumSects & ~7u));
    if ((rc = LayoutTables(hotfix)) != KW_OK)
        return rc;
    if ((rc = WriteNewCopies(handle, mirror, kMirrorFirstCopy + startOffset)) != KW_OK ||
        (rc = WriteNewTables(pi, hotfix, startOffset)) != KW_OK)
        return rc;
    return WriteNewCopies(handle, hotfix, kHotfixFirstCopy + startOffset);
}

RedirectionArea::RedirectionArea(PARTITION_INFO* pi, uint32_t startOffset)
    : pi_(pi), startOffset_(startOffset) {}

RedirectionArea* RedirectionArea::Clone() const {
    auto* copy = new RedirectionArea(pi_, startOffset_);
    if (copy != nullptr) {
        std::memcpy(copy->header_, header_, kSectorBytes);
        copy->mirrorId_ = mirrorId_;
    }
    return copy;
}

void RedirectionArea::ReplaceHeader(const uint8_t* header) {
    std::memcpy(header_, header, kSectorBytes);
    delete redirects_;
    delete errors_;
    redirects_ = nullptr;
    errors_ = nullptr;
}

RedirectionArea::~RedirectionArea() {
    delete redirects_;
    delete errors_;
}

kwRet RedirectionArea::Initialise() {
    PartHandle handle;
    kwRet rc = handle.Open(pi_);
    if (rc != KW_OK)
        return rc;
    bool found = false;
    rc = ReadCurrentHeader(handle, true, startOffset_, pi_->NumSects, header_, &found);
    if (rc != KW_OK)
        return rc;
    if (!found)
        return ERR_NW_BAD_REDIRECT_AREA;
    uint8_t mirror[kSectorBytes] = {};
    rc = ReadCurrentHeader(handle, false, 0, 0, mirror, &found);
    mirrorId_ = rc == KW_OK && found ? LoadLe32(mirror + MF_PARTITION_ID) : 0;
    return KW_OK;
}

uint32_t RedirectionArea::GetSectorCount() const {
    return LoadLe32(header_ + HF_AREA_SECTORS);
}

void RedirectionArea::SetSectorCount(uint32_t count) {
    StoreLe32(header_ + HF_AREA_SECTORS, count);
}

PARTITION_INFO* RedirectionArea::SetPartition(PARTITION_INFO* pi) {
    PARTITION_INFO* old = pi_;
    pi_ = pi;
    return old;
}

uint32_t RedirectionArea::PartitionId() const {
    return LoadLe32(header_ + HF_PARTITION_ID);
}

void RedirectionArea::SetPartitionId(uint32_t id) {
    StoreLe32(header_ + HF_PARTITION_ID, id);
}

uint32_t RedirectionArea::DataAreaSectors() const {
    return LoadLe32(header_ + HF_DATA_SECTORS);
}

kwRet RedirectionArea::LoadTables() {
    if (redirects_ != nullptr && errors_ != nullptr)
        return KW_OK;
    auto* r = new RedirectTable(pi_, header_);
    auto* e = new ErrorTable(pi_, header_);
    kwRet rc = r != nullptr && e != nullptr ? KW_OK : ERR_NO_MEMORY;
    if (rc == KW_OK && (rc = r->Initialise(false)) == KW_OK &&
        (rc = e->Initialise(false)) == KW_OK && (rc = r->Read(0, startOffset_)) == KW_OK)
        rc = e->Read(0, startOffset_);
    if (rc != KW_OK) {
        delete r;
        delete e;
        return rc;
    }
    redirects_ = r;
    errors_ = e;
    return KW_OK;
}

kwRet RedirectionArea::MarkUsed(STATE_MAP* map, uint32_t flags) {
    if (kwRet rc = LoadTables(); rc != KW_OK)
        return rc;
    const uint32_t spb = GetSectorsPerBlock();
    for (uint32_t i = 0; i < redirects_->Entries(); ++i) {
        uint32_t value = redirects_->Get(i);
        bool used = (flags & 2) ? value != kRedirFree : value == kRedirSystem;
        uint64_t at = uint64_t{startOffset_} + uint64_t{i} * spb;
        if (used && at < map->GetBitCount())
            map->SetRange(static_cast<uint32_t>(at),
                          static_cast<uint32_t>(std::min<uint64_t>(spb, map->GetBitCount() - at)));
    }
    return KW_OK;
}

kwRet RedirectionArea::ClearRedirectedHomes(STATE_MAP* map) {
    if (kwRet rc = LoadTables(); rc != KW_OK)
        return rc;
    const uint32_t spb = GetSectorsPerBlock();
    const uint64_t base = uint64_t{startOffset_} + GetSectorCount();
    for (uint32_t i = redirects_->FirstRedirected(); i < redirects_->RedirectedEnd(); ++i) {
        uint32_t value = redirects_->Get(i);
        uint64_t home = base + value;
        if (!IsRedirected(value) || home >= map->GetBitCount())
            continue;
        map->ClearRange(static_cast<uint32_t>(home),
                        static_cast<uint32_t>(std::min<uint64_t>(spb, map->GetBitCount() - home)));
    }
    return KW_OK;
}

kwRet RedirectionArea::RedirectedSector(uint32_t sector, uint32_t* areaSector) {
    *areaSector = 0;
    if (kwRet rc = LoadTables(); rc != KW_OK)
        return rc;
    const uint32_t spb = GetSectorsPerBlock();
    const uint64_t base = uint64_t{startOffset_} + GetSectorCount();
    if (sector < base)
        return KW_OK;
    const uint64_t data = sector - base;
    for (uint32_t i = redirects_->FirstRedirected(); i < redirects_->RedirectedEnd(); ++i) {
        uint32_t value = redirects_->Get(i);
        if (IsRedirected(value) && data >= value && data < uint64_t{value} + spb) {
            *areaSector = startOffset_ + i * spb + static_cast<uint32_t>(data - value);
            return KW_OK;
        }
    }
    return KW_OK;
}

kwRet RedirectionArea::MoveBlock(uint32_t from, uint32_t to) {
    const uint32_t spb = GetSectorsPerBlock();
    uint8_t* buffer = nullptr;
    if (kwGetMemory(spb * kSectorBytes, &buffer) != KW_OK)
        return ERR_NO_MEMORY;
    PartHandle handle;
    kwRet rc = handle.Open(pi_);
    if (rc == KW_OK)
        rc = handle.Read(startOffset_ + from * spb, buffer, spb);
    if (rc == KW_OK)
        rc = handle.Write(startOffset_ + to * spb, buffer, spb);
    if (rc == KW_OK)
        rc = handle.Flush();
    kwFreeMemory(&buffer);
    return rc;
}

// Fills holes in the run of redirected entries from the top: each free entry
// below a redirected one receives it. The block is copied before the tables
// name its new place, so a cut leaves the old entry valid.
kwRet RedirectionArea::Compact() {
    const uint32_t n = redirects_->Entries();
    uint32_t low = 0;
    uint32_t high = n;
    bool moved = false;
    while (true) {
        while (low < n && !redirects_->IsFree(low))
            ++low;
        while (high > 0 && !IsRedirected(redirects_->Get(high - 1)))
            --high;
        if (high == 0 || low >= high - 1)
            break;
        const uint32_t top = high - 1;
        if (kwRet rc = MoveBlock(top, low); rc != KW_OK)
            return rc;
        redirects_->Set(low, redirects_->Get(top));
        errors_->Set(low, errors_->Get(top));
        redirects_->Set(top, kRedirFree);
        errors_->Set(top, kRedirFree);
        moved = true;
    }
    if (!moved)
        return KW_OK;
    kwRet rc = redirects_->Write(0, startOffset_);
    return rc != KW_OK ? rc : errors_->Write(0, startOffset_);
}

kwRet RedirectionArea::CopyBack(uint32_t first, uint32_t last, bool freeEntries) {
    if (kwRet rc = LoadTables(); rc != KW_OK)
        return rc;
    const uint32_t spb = GetSectorsPerBlock();
    const uint64_t base = uint64_t{startOffset_} + GetSectorCount();
    uint8_t* home = nullptr;
    uint8_t* block = nullptr;
    if (kwGetMemory(spb * kSectorBytes, &home) != KW_OK ||
        kwGetMemory(spb * kSectorBytes, &block) != KW_OK) {
        kwFreeMemory(&home);
        return ERR_NO_MEMORY;
    }
    PartHandle handle;
    kwRet rc = handle.Open(pi_);
    bool freed = false;
    const uint32_t end = redirects_->RedirectedEnd();
    for (uint32_t i = redirects_->FirstRedirected(); rc == KW_OK && i < end; ++i) {
        uint32_t value = redirects_->Get(i);
        uint64_t sector = base + value;
        if (!IsRedirected(value) || value < first || value > last || sector + spb > pi_->NumSects)
            continue;
        const auto homeSector = static_cast<uint32_t>(sector);
        if (handle.Read(homeSector, home, spb) != KW_OK ||
            handle.Read(startOffset_ + i * spb, block, spb) != KW_OK ||
            handle.Write(homeSector, block, spb) != KW_OK)
            continue; // the block stays redirected
        if (freeEntries) {
            rc = handle.Flush();
            redirects_->Set(i, kRedirFree);
            errors_->Set(i, kRedirFree);
            freed = true;
        }
    }
    kwFreeMemory(&home);
    kwFreeMemory(&block);
    if (rc != KW_OK || !freed)
        return rc;
    if ((rc = redirects_->Write(0, startOffset_)) != KW_OK ||
        (rc = errors_->Write(0, startOffset_)) != KW_OK)
        return rc;
    return Compact();
}

kwRet RedirectionArea::DeleteDataRange(uint32_t start, uint32_t count) {
    if (kwRet rc = LoadTables(); rc != KW_OK)
        return rc;
    bool changed = redirects_->DeleteDataRange(start, count);
    changed = errors_->DeleteDataRange(start, count) || changed;
    if (!changed)
        return KW_OK;
    kwRet rc = redirects_->Write(0, startOffset_);
    if (rc == KW_OK)
        rc = errors_->Write(0, startOffset_);
    return rc != KW_OK ? rc : Compact();
}

kwRet RedirectionArea::InsertDataRange(uint32_t start, uint32_t count) {
    if (kwRet rc = LoadTables(); rc != KW_OK)
        return rc;
    errors_->InsertDataRange(start, count);
    return redirects_->InsertDataRange(start, count) ? redirects_->Write(0, startOffset_) : KW_OK;
}

kwRet RedirectionArea::WriteHotfixHeader() {
    PartHandle handle;
    kwRet rc = handle.Open(pi_);
    return rc != KW_OK ? rc
                       : WriteHeaderCopies(handle, header_, kHotfixFirstCopy + startOffset_, false);
}

kwRet nwReadHotfixHeaderBytes(PARTITION_INFO* pi, uint8_t* buffer, uint32_t length) {
    length = std::min(length, kSectorBytes);
    std::memset(buffer, 0, length);
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    if (rc != KW_OK)
        return rc;
    uint8_t header[kSectorBytes];
    bool found = false;
    rc = ReadCurrentHeader(handle, true, 0, pi->NumSects, header, &found);
    if (rc == KW_OK && found)
        std::memcpy(buffer, header, length);
    return rc;
}

kwRet nwReadMirrorHeaderBytes(PARTITION_INFO* pi, uint8_t* buffer) {
    std::memset(buffer, 0, kMirrorHeadBytes);
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    if (rc != KW_OK)
        return rc;
    uint8_t header[kSectorBytes];
    bool found = false;
    rc = ReadCurrentHeader(handle, false, 0, 0, header, &found);
    if (rc == KW_OK && found)
        std::memcpy(buffer, header, kMirrorHeadBytes);
    return rc;
}

kwRet nwWriteMirrorHeader(PARTITION_INFO* pi, const uint8_t* header96) {
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    if (rc != KW_OK)
        return rc;
    uint8_t header[kSectorBytes] = {};
    bool found = false;
    if ((rc = ReadCurrentHeader(handle, false, 0, 0, header, &found)) != KW_OK)
        return rc;
    if (!found)
        return ERR_NW_NO_MIRROR_HEADER;
    std::memcpy(header, header96, kMirrorHeadBytes);
    std::memcpy(header, kMirrorMagic, sizeof kMirrorMagic);
    return WriteHeaderCopies(handle, header, kMirrorFirstCopy, true);
}

} // namespace kw::netware
