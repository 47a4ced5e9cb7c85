#include "engine/netware/nw_redtab.h"

#include "engine/netware/nw_io.h"
#include "engine/netware/nw_layout.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

namespace kw::netware {

namespace {

// Blocks 0-19 less the ones the header copies already mark by sector.
constexpr uint32_t kSystemIndexes[] = {0, 1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, 17, 18, 19};

} // namespace

RedirectionAreaTable::RedirectionAreaTable(PARTITION_INFO* pi, const uint8_t* header) : pi_(pi) {
    std::memcpy(tables_, header + HF_TABLES, sizeof tables_);
    sectorsPerBlock_ = header[HF_SECTORS_PER_BLOCK];
    if (sectorsPerBlock_ == 0)
        return;
    entries_ = LoadLe32(header + HF_AREA_SECTORS) / sectorsPerBlock_;
    const uint64_t bytesPerBlock = uint64_t{sectorsPerBlock_} * kSectorBytes;
    const uint64_t needed = (uint64_t{entries_} * 4 + bytesPerBlock - 1) / bytesPerBlock;
    const uint64_t blocks = std::max<uint64_t>(needed, Descriptors());
    // The header is checked before a table is made; a table never holds more
    // blocks than the header can name.
    tableBytes_ =
        static_cast<uint32_t>(std::min<uint64_t>(blocks, kMaxRedirectTables) * bytesPerBlock);
    entries_ = std::min<uint32_t>(entries_, tableBytes_ / 4);
}

RedirectionAreaTable::~RedirectionAreaTable() {
    if (table_ != nullptr)
        kwFreeMemory(&table_);
}

kwRet RedirectionAreaTable::Initialise(bool empty) {
    if (table_ == nullptr && kwGetMemory(std::max<uint32_t>(tableBytes_, 4), &table_) != KW_OK)
        return ERR_NO_MEMORY;
    if (empty)
        std::memset(table_, 0, std::max<uint32_t>(tableBytes_, 4));
    return KW_OK;
}

uint32_t RedirectionAreaTable::DescriptorField(uint32_t descriptor, uint32_t field) const {
    return LoadLe32(tables_ + descriptor * kDescriptorBytes + field);
}

uint32_t RedirectionAreaTable::Descriptors() const {
    uint32_t n = 0;
    while (n < kMaxRedirectTables && DescriptorField(n, TD_REDIRECT) != 0)
        ++n;
    return n;
}

uint32_t RedirectionAreaTable::Get(uint32_t index) const {
    return index < entries_ && table_ != nullptr ? LoadLe32(table_ + 4 * index) : kRedirSystem;
}

void RedirectionAreaTable::Set(uint32_t index, uint32_t value) {
    if (index < entries_ && table_ != nullptr)
        StoreLe32(table_ + 4 * index, value);
}

uint32_t RedirectionAreaTable::MarkSystemSector(uint32_t sector) {
    uint32_t index = sector / sectorsPerBlock_;
    Set(index, kRedirSystem);
    return index;
}

void RedirectionAreaTable::MarkSystemIndex(uint32_t index) {
    Set(index, kRedirSystem);
}

void RedirectionAreaTable::MarkSystemBlocks() {
    for (uint32_t i = 0; i < kHeaderCopies; ++i) {
        MarkSystemSector(kHotfixFirstCopy + kHeaderCopyStride * i);
        MarkSystemSector(kMirrorFirstCopy + kHeaderCopyStride * i);
    }
    for (uint32_t d = 0; d < Descriptors(); ++d)
        for (uint32_t f = 0; f < 4; ++f)
            MarkSystemSector(DescriptorField(d, 4 * f));
    for (uint32_t index : kSystemIndexes)
        MarkSystemIndex(index);
}

void RedirectionAreaTable::MarkSystemEntries(uint32_t* remap) const {
    for (uint32_t index : kSystemIndexes)
        if (index < entries_)
            remap[index] = kRedirReserved;
}

void RedirectionAreaTable::CopyFrom(const RedirectionAreaTable& other) {
    const uint32_t n = std::min(entries_, other.entries_);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t value = other.Get(i);
        if (IsRedirected(value) && IsFree(i))
            Set(i, value);
    }
}

// One table block per descriptor, each bytes-per-block long. Reads: without
// kTableCopyOnly the primary, falling back to the copy unless
// kTablePrimaryOnly; writes: the primary unless kTableCopyOnly, the copy
// unless kTablePrimaryOnly (a failed copy is reported at the end).
kwRet RedirectionAreaTable::Transfer(bool write, uint32_t flags, uint32_t startOffset) {
    if (table_ == nullptr)
        return ERR_NO_MEMORY;
    PartHandle handle;
    kwRet rc = handle.Open(pi_);
    if (rc != KW_OK)
        return rc;
    const uint32_t bytesPerBlock = sectorsPerBlock_ * kSectorBytes;
    kwRet copyFailure = KW_OK;
    for (uint32_t d = 0; d < Descriptors() && (d + 1) * bytesPerBlock <= tableBytes_; ++d) {
        uint8_t* at = table_ + d * bytesPerBlock;
        const uint32_t primary = PrimarySector(d) + startOffset;
        const uint32_t copy = CopySector(d) + startOffset;
        if (!write) {
            rc = (flags & kTableCopyOnly) ? ERR_READ_FAULT
                                          : handle.Read(primary, at, sectorsPerBlock_);
            if (rc != KW_OK && (flags & kTablePrimaryOnly) == 0)
                rc = handle.Read(copy, at, sectorsPerBlock_);
            if (rc != KW_OK)
                return rc;
            continue;
        }
        if ((flags & kTableCopyOnly) == 0 &&
            (rc = handle.Write(primary, at, sectorsPerBlock_)) != KW_OK)
            return rc;
        if ((flags & kTablePrimaryOnly) == 0 &&
            (rc = handle.Write(copy, at, sectorsPerBlock_)) != KW_OK) {
            if (flags & kTableCopyOnly)
                return rc;
            if (copyFailure == KW_OK)
                copyFailure = rc;
        }
    }
    if (write && copyFailure == KW_OK)
        copyFailure = handle.Flush();
    return copyFailure;
}

kwRet RedirectionAreaTable::Read(uint32_t flags, uint32_t startOffset) {
    return Transfer(false, flags, startOffset);
}

kwRet RedirectionAreaTable::Write(uint32_t flags, uint32_t startOffset) {
    return Transfer(true, flags, startOffset);
}

kwRet RedirectionAreaTable::CompareWithCopy(bool* identical) {
    *identical = false;
    if (table_ == nullptr)
        return ERR_NO_MEMORY;
    uint8_t* scratch = nullptr;
    if (kwGetMemory(std::max<uint32_t>(tableBytes_, 4), &scratch) != KW_OK)
        return ERR_NO_MEMORY;
    std::memcpy(scratch, table_, tableBytes_);
    kwRet rc = Read(kTableCopyOnly, 0);
    *identical = rc == KW_OK && std::memcmp(scratch, table_, tableBytes_) == 0;
    std::memcpy(table_, scratch, tableBytes_);
    kwFreeMemory(&scratch);
    return rc;
}

bool RedirectionAreaTable::DeleteDataRange(uint32_t start, uint32_t count) {
    bool changed = false;
    for (uint32_t i = 0; i < entries_; ++i) {
        uint32_t value = Get(i);
        if (!IsRedirected(value) || value < start)
            continue;
        Set(i, value - start < count ? 0 : value - count);
        changed = true;
    }
    return changed;
}

bool RedirectionAreaTable::InsertDataRange(uint32_t start, uint32_t count) {
    bool changed = false;
    for (uint32_t i = 0; i < entries_; ++i) {
        uint32_t value = Get(i);
        if (IsRedirected(value) && value >= start) {
            Set(i, value + count);
            changed = true;
        }
    }
    return changed;
}

void RedirectTable::Set(uint32_t index, uint32_t value) {
    RedirectionAreaTable::Set(index, value);
    stale_ = true;
}

void RedirectTable::Count() {
    if (!stale_)
        return;
    system_ = redirected_ = free_ = 0;
    firstRedirected_ = 0;
    bool found = false;
    for (uint32_t i = 0; i < Entries(); ++i) {
        uint32_t value = Get(i);
        if (value == kRedirSystem) {
            ++system_;
        } else if (value == kRedirFree || value == kRedirReserved) {
            ++free_;
            if (!found)
                firstRedirected_ = i;
        } else {
            ++redirected_;
            if (!found)
                firstRedirected_ = i;
            found = true;
        }
    }
    stale_ = false;
}

uint32_t RedirectTable::SystemBlocks() {
    Count();
    return system_;
}

uint32_t RedirectTable::RedirectedBlocks() {
    Count();
    return redirected_;
}

uint32_t RedirectTable::FreeBlocks() {
    Count();
    return free_;
}

uint32_t RedirectTable::FirstRedirected() {
    Count();
    return firstRedirected_;
}

uint32_t RedirectTable::RedirectedEnd() {
    uint32_t i = FirstRedirected();
    while (i < Entries() && !IsFree(i))
        ++i;
    return i;
}

} // namespace kw::netware
