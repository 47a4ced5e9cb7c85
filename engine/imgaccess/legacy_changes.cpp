// Partitions of older-format images: the change file, loaded at the open and
// saved on request. A change file that does not fit the partition is
// refused whole; the partition then decodes from the start as if there were
// none.
#include "engine/core/kwmemory.h"
#include "engine/imgaccess/legacy_access.h"
#include "kwbytes.h"
#include "platform/files/sysfile.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace kw::imgaccess {

namespace {

// Twelve partitions of a 4 MiB index each, their volume tables and more.
constexpr size_t kMaxChangeFileBytes = 64u << 20;

// Closes a host file when it goes out of scope.
struct HOST_FILE {
    int fd = -1;
    ~HOST_FILE() {
        if (fd >= 0)
            sys::sysCloseFile(fd);
    }
};

bool WriteAt(int fd, uint64_t at, const uint8_t* data, size_t bytes) {
    size_t done = 0;
    return sys::sysSetPosition(fd, at) && sys::sysWrite(fd, data, bytes, &done) && done == bytes;
}

bool ReadAt(int fd, uint64_t at, uint8_t* data, size_t bytes) {
    size_t done = 0;
    return sys::sysSetPosition(fd, at) && sys::sysRead(fd, data, bytes, &done) && done == bytes;
}

} // namespace

CHANGE_LIMITS PARTITION_ACCESS::Limits() const {
    CHANGE_LIMITS limits;
    limits.stamp = store_->GetImageStamp();
    limits.partitions = store_->GetPartitionCount();
    limits.number = number_;
    limits.stateSize = stateSize_;
    limits.volumes = store_->GetImageVolumeCount();
    limits.blockLimit = map_.BlockLimit();
    limits.blockBytes = map_.BlockBytes();
    limits.storedBytes = storedBytes_;
    limits.compressed = compressed_;
    return limits;
}

kwRet PARTITION_ACCESS::LoadChanges(const char* changeFile) {
    FreeIndex();
    HOST_FILE file;
    if (changeFile == nullptr || *changeFile == '\0' ||
        (file.fd = sys::sysOpenFileReadOnly(changeFile)) < 0)
        return ERR_FILE_NOT_FOUND;
    std::string bytes;
    try {
        if (!sys::sysReadAll(file.fd, &bytes, kMaxChangeFileBytes))
            return ERR_IMG_READ;
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    CHANGE_RECORD record;
    kwRet rc = SelectMine();
    if (rc == KW_OK)
        rc = ParseChangeRecord({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
                               Limits(), &record);
    if (rc == KW_OK)
        rc = InstallRecord(record);
    if (rc != KW_OK)
        FreeIndex();
    return rc;
}

// Takes the record's entries and volume table. Every entry must name a
// point at or before its own group that lies behind the one before it.
kwRet PARTITION_ACCESS::InstallRecord(const CHANGE_RECORD& record) {
    if (record.entries != 0) {
        const uint64_t most = kMaxIndexBytes / (16 + uint64_t{stateSize_});
        const uint64_t capacity = std::max<uint64_t>(
            record.entries, std::min(ChangeEntriesNeeded(map_.BlockLimit(), record.shift), most));
        kwRet rc = AllocateIndex(record.shift, capacity);
        if (rc != KW_OK)
            return rc;
        for (uint32_t k = 0; k < record.entries; ++k) {
            const uint32_t block = record.FirstBlock(k);
            const uint64_t start = map_.DataOffset(block);
            const uint64_t carry = record.Carry(k);
            if (k != 0 && (!map_.IsStored(block) || carry > start ||
                           start - carry < offsets_[k - 1] || start - carry > GroupOffset(k)))
                return ERR_CHANGE_INVALID;
            positions_[k] = record.Position(k);
            offsets_[k] = k != 0 ? start - carry : 0;
            if (stateSize_ != 0)
                std::memcpy(states_ + size_t{k} * stateSize_, record.State(k), stateSize_);
        }
        last_ = record.entries - 1;
    }
    if (record.volumeCount == 0)
        return KW_OK;
    uint64_t* table = nullptr;
    kwRet rc = kwGetMemory(record.volumeCount * 8u, &table);
    if (rc != KW_OK)
        return rc;
    for (uint32_t i = 0; i < record.volumeCount; ++i)
        table[i] = record.Volume(i);
    rc = static_cast<kwRet>(store_->SetVolumeTable(record.volumeCount, table));
    kwFreeMemory(&table);
    return rc;
}

uint32_t PARTITION_ACCESS::CheckChangeFile(const char* changeFile) {
    if (!compressed_ && !spanning_)
        return 1;
    std::string bytes;
    CHANGE_RECORD record;
    try {
        return changeFile != nullptr && sys::sysReadFile(changeFile, &bytes, kMaxChangeFileBytes) &&
                       ParseChangeRecord(
                           {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, Limits(),
                           &record) == KW_OK
                   ? 1
                   : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// The first-block and carry columns of the entries that can be written:
// entry k's first block is the first stored block that begins at or behind
// its offset. A point inside the last block has none; it and the entries
// after it are left out.
uint32_t PARTITION_ACCESS::EntryColumns(uint32_t* firstBlocks, uint32_t* carries) {
    const uint64_t blockBytes = map_.BlockBytes();
    uint32_t block = map_.NextStored(0);
    uint64_t rank = 0;
    const uint32_t entries = compressed_ && index_ != nullptr ? last_ + 1 : 0;
    for (uint32_t k = 0; k < entries; ++k) {
        const uint64_t want = (offsets_[k] + blockBytes - 1) / blockBytes;
        for (; rank < want && block != STATE_MAP_NONE; ++rank)
            block = block + 1 < map_.BlockCount() ? map_.NextStored(block + 1) : STATE_MAP_NONE;
        if (block == STATE_MAP_NONE || block > map_.BlockLimit())
            return k;
        firstBlocks[k] = k != 0 ? block : 0;
        carries[k] = k != 0 ? static_cast<uint32_t>(want * blockBytes - offsets_[k]) : 0;
    }
    return entries;
}

kwRet PARTITION_ACCESS::WriteRecord(int fd, uint64_t at) {
    if (at >= kChangeNoRecord)
        return ERR_IMG_WRITE; // record offsets are 32-bit
    uint32_t volumes = 0;
    const uint64_t* table = store_->GetVolumeTable(&volumes);
    const uint32_t capacity = index_ != nullptr ? last_ + 1 : 1;
    uint32_t* columns = nullptr;
    kwRet rc = kwGetMemory(capacity * 8u, &columns);
    if (rc != KW_OK)
        return rc;
    CHANGE_RECORD_SOURCE source;
    source.entries = EntryColumns(columns, columns + capacity);
    source.stateSize = source.entries != 0 ? stateSize_ : 0;
    source.shift = shift_;
    source.volumeCount = table != nullptr ? volumes : 0;
    source.volumes = table;
    source.positions = positions_;
    source.firstBlocks = columns;
    source.carries = columns + capacity;
    source.states = states_;
    const uint64_t bytes = ChangeRecordBytes(source.stateSize, source.entries, source.volumeCount);
    uint8_t* record = nullptr;
    rc = bytes <= UINT32_MAX ? kwGetMemory(static_cast<uint32_t>(bytes), &record) : ERR_NO_MEMORY;
    if (rc == KW_OK) {
        WriteChangeRecord({record, static_cast<size_t>(bytes)}, source);
        uint8_t entry[4];
        kwbytes::StoreLe32(entry, static_cast<uint32_t>(at));
        if (!WriteAt(fd, at, record, bytes) ||
            !WriteAt(fd, kChangeHeaderBytes + 4 * uint64_t{number_ - 1}, entry, sizeof entry))
            rc = ERR_IMG_WRITE;
    }
    kwFreeMemory(&record);
    kwFreeMemory(&columns);
    return rc;
}

kwRet PARTITION_ACCESS::SaveChanges(const char* changeFile) {
    if (changeFile == nullptr || *changeFile == '\0')
        return ERR_IMG_OPEN;
    // Decode to the last stored block, so that the index covers the whole
    // partition.
    const uint32_t last = map_.PrevStored(map_.BlockLimit());
    if (compressed_ && last != STATE_MAP_NONE) {
        uint8_t sector[kSectorBytes];
        kwRet rc = ReadSectors(last * map_.SectorsPerBlock(), sector, 1);
        if (rc != KW_OK)
            return rc;
    }
    const CHANGE_LIMITS limits = Limits();
    HOST_FILE file;
    uint64_t at = 0;
    if ((file.fd = sys::sysOpenFile(changeFile)) >= 0) {
        uint8_t header[kChangeHeaderBytes + 4];
        const uint64_t entryAt = kChangeHeaderBytes + 4 * uint64_t{number_ - 1};
        if (!ReadAt(file.fd, 0, header, kChangeHeaderBytes) ||
            !ReadAt(file.fd, entryAt, header + kChangeHeaderBytes, 4))
            return ERR_IMG_READ;
        kwRet rc = CheckChangeHeader({header, kChangeHeaderBytes}, limits);
        if (rc != KW_OK)
            return rc;
        if (kwbytes::LoadLe32(header + kChangeHeaderBytes) != kChangeNoRecord)
            return ERR_CHANGE_RECORD_EXISTS;
        if (!sys::sysGetSize(file.fd, &at))
            return ERR_IMG_READ;
    } else {
        HOST_FILE probe;
        if ((probe.fd = sys::sysOpenFileReadOnly(changeFile)) >= 0)
            return ERR_IMG_OPEN; // there, but read-only
        if ((file.fd = sys::sysCreateFile(changeFile)) < 0)
            return ERR_IMG_OPEN;
        at = ChangeHeaderBytes(limits.partitions);
        uint8_t* header = nullptr;
        kwRet rc = at <= kMaxChangeFileBytes ? kwGetMemory(static_cast<uint32_t>(at), &header)
                                             : ERR_IMG_INVALID;
        if (rc != KW_OK)
            return rc;
        WriteChangeHeader({header, static_cast<size_t>(at)}, limits.stamp, limits.partitions);
        const bool written = WriteAt(file.fd, 0, header, at);
        kwFreeMemory(&header);
        if (!written)
            return ERR_IMG_WRITE;
    }
    kwRet rc = SelectMine();
    return rc != KW_OK ? rc : WriteRecord(file.fd, at);
}

} // namespace kw::imgaccess
