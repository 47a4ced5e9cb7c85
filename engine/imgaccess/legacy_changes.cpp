// Partitions of older-format images: the change file, loaded at the open and
// saved on request. A change file that does not fit the partition is
// refused whole; the partition then decodes from the start as if there were
// none.
#include "engine/core/kwmemory.h"
#include "engine/disk/disk_log.h"
#include "engine/imgaccess/legacy_access.h"
#include "kwbytes.h"
#include "platform/files/sysfile.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <string>

#include <sys/stat.h>

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

// The folder part of a host path ("." when it has none).
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// Writes the whole file beside it under a temporary name, with the old
// file's permissions, makes it durable and renames it over the old one: a
// save cut short by a crash or a full disk leaves the earlier file as it
// was, never a torn one.
kwRet ReplaceFile(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    sys::sysDeleteFile(temp); // left by an earlier run that stopped
    HOST_FILE file;
    if ((file.fd = sys::sysCreateFile(temp)) < 0)
        return ERR_IMG_OPEN;
    struct stat old = {};
    bool written = ::stat(path.c_str(), &old) != 0 || ::fchmod(file.fd, old.st_mode & 07777) == 0;
    size_t done = 0;
    written = written && sys::sysWrite(file.fd, bytes.data(), bytes.size(), &done) &&
              done == bytes.size() && sys::sysFlush(file.fd);
    written = sys::sysCloseFile(file.fd) && written;
    file.fd = -1;
    if (!written || !sys::sysReplaceFile(temp, path)) {
        sys::sysDeleteFile(temp);
        return ERR_IMG_WRITE;
    }
    // The rename itself; the data is safe already, and the file replaced.
    if (!sys::sysSyncFolder(FolderOf(path)))
        DiskLog(DBG_LEVEL_HEADER, "Change file %s saved, but its folder could not be synced\r\n",
                path.c_str());
    return KW_OK;
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
    // The store compares the table with the volumes as it finds them; one
    // that does not fit refuses the whole file.
    rc = static_cast<kwRet>(store_->SetVolumeTable(record.volumeCount, table));
    kwFreeMemory(&table);
    return rc == ERR_IMG_NOT_CONTIGUOUS ? ERR_CHANGE_INVALID : rc;
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

kwRet PARTITION_ACCESS::AppendRecord(std::string* file) {
    const uint64_t at = file->size();
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
    const uint64_t entryAt = kChangeHeaderBytes + 4 * uint64_t{number_ - 1};
    if (bytes > kMaxChangeFileBytes || at + bytes > kMaxChangeFileBytes || entryAt + 4 > at) {
        rc = ERR_NO_MEMORY;
    } else {
        file->resize(static_cast<size_t>(at + bytes));
        auto* out = reinterpret_cast<uint8_t*>(file->data());
        WriteChangeRecord({out + at, static_cast<size_t>(bytes)}, source);
        kwbytes::StoreLe32(out + entryAt, static_cast<uint32_t>(at));
    }
    kwFreeMemory(&columns);
    return rc;
}

// Whether a file that does not begin with a whole header is the start of a
// change file whose save was cut short: its first bytes (up to the magic's
// four) are zeros that never got their data, or the start of the magic.
// Anything else is someone else's file.
namespace {
bool TornHeader(std::span<const uint8_t> bytes) {
    uint8_t magic[4];
    kwbytes::StoreLe32(magic, kChangeMagic);
    const auto head = bytes.first(std::min<size_t>(bytes.size(), sizeof magic));
    return std::all_of(head.begin(), head.end(), [](uint8_t b) { return b == 0; }) ||
           std::equal(head.begin(), head.end(), magic);
}
} // namespace

// What the file holds before this partition's record is added: its own
// bytes when it is a change file of this image without a whole record of
// this partition, else a new header. A file whose header or table was cut
// short, or whose first bytes are zeros or the start of the magic, is a torn
// write of an earlier save and is rebuilt; any other file (another version,
// another image, not a change file at all) is left alone.
kwRet PARTITION_ACCESS::ChangeFileBase(const char* changeFile, const CHANGE_LIMITS& limits,
                                       std::string* file) {
    HOST_FILE existing;
    file->clear();
    if ((existing.fd = sys::sysOpenFile(changeFile)) >= 0) {
        if (!sys::sysReadAll(existing.fd, file, kMaxChangeFileBytes))
            return ERR_IMG_READ;
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(file->data()),
                                             file->size());
        // A torn header, and a header whose table was cut short, fall
        // through to a new file.
        kwRet rc = CheckChangeHeader(bytes, limits);
        if (rc == ERR_IMG_READ || rc == ERR_CHANGE_INVALID) {
            if (!TornHeader(bytes))
                return ERR_CHANGE_INVALID;
        } else if (rc != KW_OK) {
            return rc;
        } else if (bytes.size() >= ChangeHeaderBytes(limits.partitions)) {
            // An entry whose record was torn is pointed at the new one.
            uint32_t entry = kChangeNoRecord;
            rc = ReadChangeEntry(bytes, limits, &entry);
            if (rc == KW_OK && entry != kChangeNoRecord && ChangeRecordWhole(bytes, entry))
                return ERR_CHANGE_RECORD_EXISTS;
            if (rc != ERR_IMG_READ)
                return rc;
        }
    } else {
        HOST_FILE probe;
        if ((probe.fd = sys::sysOpenFileReadOnly(changeFile)) >= 0)
            return ERR_IMG_OPEN; // there, but read-only
    }
    const uint64_t bytes = ChangeHeaderBytes(limits.partitions);
    if (bytes > kMaxChangeFileBytes)
        return ERR_IMG_INVALID;
    file->assign(static_cast<size_t>(bytes), '\0');
    WriteChangeHeader({reinterpret_cast<uint8_t*>(file->data()), file->size()}, limits.stamp,
                      limits.partitions);
    return KW_OK;
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
    std::string file;
    try {
        kwRet rc = ChangeFileBase(changeFile, Limits(), &file);
        if (rc == KW_OK)
            rc = SelectMine();
        if (rc == KW_OK)
            rc = AppendRecord(&file);
        return rc != KW_OK ? rc : ReplaceFile(changeFile, file);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
}

} // namespace kw::imgaccess
