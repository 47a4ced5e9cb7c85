// Partitions of older-format images: the shape, the used-block map and the
// reads. The change file is loaded and saved in legacy_changes.cpp.
#include "engine/imgaccess/legacy_access.h"

#include "engine/core/kwmemory.h"
#include "engine/disk/disk_log.h"
#include "engine/imgaccess/piece_cache.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kw::imgaccess {

namespace {

// Decoded bytes asked of the store per piece; what the decoder still holds
// of its last block follows them while the piece has room.
constexpr uint32_t kDecodeBytes = 0x10000;
// Largest plain read handed to the store at once.
constexpr uint32_t kPlainChunk = 0x100000;
constexpr uint32_t kFirstZlibCode = 1, kLastZlibCode = 8;
constexpr uint32_t kQueryStop = 2, kQueryRetry = 3, kQueryGoOn = 4;

} // namespace

PARTITION_ACCESS::PARTITION_ACCESS(IMAGE_STORE* store, uint32_t number,
                                   PARTACCESS_UI_CALLBACK* callback)
    : store_(store), number_(number), callback_(callback) {
    store_->AddRef();
}

PARTITION_ACCESS::~PARTITION_ACCESS() {
    FreeIndex();
    kwFreeMemory(&chainState_);
    if (poolUser_)
        PA_CACHE::FreePool(this);
    store_->Release();
}

kwRet PARTITION_ACCESS::SelectMine() {
    if (store_->GetSelectedPartition() == number_)
        return KW_OK;
    live_ = false;
    return static_cast<kwRet>(store_->SelectPartition(number_));
}

kwRet PARTITION_ACCESS::ReadShape() {
    uint32_t blocks = 0, sectorsPerBlock = 0, bytesPerSector = 0, low = 0, high = 0;
    int32_t rc = store_->GetCompressionCode(&code_);
    if (rc == 0)
        rc = store_->GetBlockCount(&blocks);
    if (rc == 0)
        rc = store_->GetSectorsPerBlock(&sectorsPerBlock);
    if (rc == 0)
        rc = store_->GetBytesPerSector(&bytesPerSector);
    if (rc == 0)
        rc = store_->GetTotalSectors(&totalSectors_);
    if (rc == 0)
        rc = store_->GetPartitionType(&partitionType_);
    if (rc == 0)
        rc = store_->GetFileSystemKind(&fsKind_);
    if (rc == 0)
        rc = store_->GetStoredDataLength(&low, &high, 0);
    if (rc != 0)
        return static_cast<kwRet>(rc);
    // A zlib stream can be decoded from its start only: no restart points.
    if (code_ >= kFirstZlibCode && code_ <= kLastZlibCode)
        return ERR_IMG_COMPRESSION;
    // Sectors are 512 bytes here, whatever the image says; a damaged record
    // must not leave a block size of 0 behind.
    if (blocks == 0 || sectorsPerBlock == 0 || bytesPerSector != kSectorBytes ||
        sectorsPerBlock > UINT32_MAX / kSectorBytes)
        return ERR_IMG_INVALID;
    compressed_ = code_ != 0;
    storedBytes_ = uint64_t{high} << 32 | low;
    return BuildUsedMap();
}

kwRet PARTITION_ACCESS::BuildUsedMap() {
    uint32_t blocks = 0, sectorsPerBlock = 0, limit = 0;
    store_->GetBlockCount(&blocks);
    store_->GetBlockLimit(&limit);
    const uint32_t bytes = static_cast<uint32_t>((uint64_t{blocks} + 7) / 8);
    uint8_t* bitmap = nullptr;
    kwRet rc = kwGetMemory(bytes, &bitmap);
    uint32_t got = 0;
    if (rc == KW_OK)
        rc = static_cast<kwRet>(store_->ReadBitmap(bitmap, bytes, &sectorsPerBlock, &got));
    if (rc == KW_OK && got != bytes)
        rc = ERR_IMG_INVALID;
    if (rc == KW_OK)
        rc = map_.Build(blocks, sectorsPerBlock, limit, {bitmap, bytes});
    kwFreeMemory(&bitmap);
    return rc;
}

kwRet PARTITION_ACCESS::Open(const char* changeFile) {
    store_->Prepare();
    kwRet rc = SelectMine();
    uint32_t spanning = 0;
    if (rc == KW_OK)
        rc = static_cast<kwRet>(store_->UsesVolumeTable(&spanning));
    spanning_ = spanning != 0;
    if (rc == KW_OK)
        rc = ReadShape();
    if (rc != KW_OK || !(compressed_ || spanning_))
        return rc;
    if (compressed_) {
        if (!PA_CACHE::CreatePool())
            return ERR_IMG_NO_MEMORY;
        poolUser_ = true;
        stateSize_ = store_->GetDecoderStateSize();
        if (stateSize_ != 0 && (rc = kwGetMemory(stateSize_, &chainState_)) != KW_OK)
            return rc;
    }
    if ((rc = AskAboutChanges(changeFile)) != KW_OK)
        return rc;
    uint32_t volumes = 0;
    if (spanning_ && (store_->GetVolumeTable(&volumes) == nullptr || volumes == 0) &&
        (rc = static_cast<kwRet>(store_->BuildVolumeTable())) != KW_OK)
        return rc;
    return compressed_ && index_ == nullptr ? NewIndex() : KW_OK;
}

kwRet PARTITION_ACCESS::AskAboutChanges(const char* changeFile) {
    const char* path = changeFile != nullptr ? changeFile : "";
    for (;;) {
        const kwRet rc = LoadChanges(path);
        if (rc == KW_OK)
            return KW_OK;
        if (rc != ERR_FILE_NOT_FOUND)
            DiskLog(DBG_LEVEL_HEADER, "Change file %s refused for partition %u: error %u\r\n", path,
                    number_, rc);
        const uint32_t answer = callback_ != nullptr ? callback_->Query(rc, path) : kQueryGoOn;
        if (answer == kQueryStop)
            return ERR_CHANGE_REFUSED;
        if (answer != kQueryRetry)
            return KW_OK; // decode from the start instead
    }
}

void PARTITION_ACCESS::FreeIndex() {
    kwFreeMemory(&index_);
    positions_ = offsets_ = nullptr;
    states_ = nullptr;
    capacity_ = last_ = 0;
    chain_ = false;
}

kwRet PARTITION_ACCESS::AllocateIndex(uint32_t shift, uint64_t entries) {
    FreeIndex();
    const uint64_t bytes = entries * (16 + uint64_t{stateSize_});
    if (entries == 0 || bytes > kMaxIndexBytes)
        return ERR_CHANGE_INVALID;
    kwRet rc = kwGetMemory(static_cast<uint32_t>(bytes), &index_);
    if (rc != KW_OK)
        return rc;
    capacity_ = static_cast<uint32_t>(entries);
    positions_ = reinterpret_cast<uint64_t*>(index_);
    offsets_ = positions_ + capacity_;
    states_ = index_ + 16 * size_t{capacity_};
    shift_ = shift;
    last_ = 0;
    return KW_OK;
}

// A fresh index: one entry per 2^shift blocks, at least one per 64 KiB of
// data unless the table would pass its 4 MiB; smaller while memory is short.
kwRet PARTITION_ACCESS::NewIndex() {
    const uint32_t limit = map_.BlockLimit();
    const uint64_t entryBytes = 16 + uint64_t{stateSize_};
    uint32_t shift = 0;
    while ((uint64_t{map_.BlockBytes()} << shift) < kDecodeBytes)
        ++shift;
    while (ChangeEntriesNeeded(limit, shift) * entryBytes > kMaxIndexBytes)
        ++shift;
    kwRet rc = AllocateIndex(shift, ChangeEntriesNeeded(limit, shift));
    while (rc != KW_OK && ChangeEntriesNeeded(limit, shift) > 1) {
        ++shift;
        rc = AllocateIndex(shift, ChangeEntriesNeeded(limit, shift));
    }
    if (rc != KW_OK)
        return rc;
    // Entry 0: the start of the data with a decoder in its first state.
    if ((rc = SelectMine()) == KW_OK)
        rc = static_cast<kwRet>(store_->Seek(0));
    if (rc == KW_OK && stateSize_ != 0)
        rc = static_cast<kwRet>(store_->SaveDecoderState(states_));
    live_ = false;
    positions_[0] = offsets_[0] = 0;
    return rc;
}

void PARTITION_ACCESS::SetPhase(uint64_t offset) {
    store_->SetPhase((4 - static_cast<uint32_t>(offset & 3)) & 3);
}

kwRet PARTITION_ACCESS::ReadSectors(uint32_t sector, void* buffer, uint32_t count) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    if (count == 0)
        return KW_OK;
    uint64_t offset = 0;
    kwRet rc = map_.Locate(sector, count, &offset);
    if (rc != KW_OK)
        return rc;
    auto* out = static_cast<uint8_t*>(buffer);
    const uint64_t bytes = uint64_t{count} * kSectorBytes;
    return compressed_ ? ReadDecoded(offset, out, bytes) : ReadPlain(offset, out, bytes);
}

kwRet PARTITION_ACCESS::ReadPlain(uint64_t offset, uint8_t* out, uint64_t bytes) {
    kwRet rc = SelectMine();
    if (rc == KW_OK)
        rc = static_cast<kwRet>(store_->Seek(offset));
    while (rc == KW_OK && bytes > 0) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(bytes, kPlainChunk));
        uint32_t got = 0;
        SetPhase(offset);
        rc = static_cast<kwRet>(store_->Read(out, n, &got));
        if (rc == KW_OK && got != n)
            rc = ERR_IMG_READ;
        offset += n;
        out += n;
        bytes -= n;
    }
    return rc;
}

kwRet PARTITION_ACCESS::ReadDecoded(uint64_t offset, uint8_t* out, uint64_t bytes) {
    while (bytes > 0) {
        PA_PIECE* piece = PA_CACHE::Find(this, offset);
        if (piece == nullptr) {
            kwRet rc = DecodeTo(offset, &piece);
            if (rc != KW_OK)
                return rc;
        }
        const uint64_t n = std::min<uint64_t>(bytes, piece->start + piece->count - offset);
        std::memcpy(out, piece->buffer + (offset - piece->start), n);
        out += n;
        offset += n;
        bytes -= n;
    }
    return KW_OK;
}

bool PARTITION_ACCESS::LiveHolds() {
    return live_ && store_->GetSelectedPartition() == number_ &&
           store_->GetPosition() == livePosition_ && store_->GetPendingCount() == livePending_;
}

// Positions the decoder at the nearest point at or before `offset`: the
// place this access left it, the latest point of its chain, or an entry.
kwRet PARTITION_ACCESS::StartDecode(uint64_t offset) {
    uint64_t* end = offsets_ + last_ + 1;
    const uint32_t k =
        static_cast<uint32_t>(std::upper_bound(offsets_, end, offset) - offsets_) - 1;
    const bool fromChain = chain_ && chainOffset_ <= offset && chainOffset_ >= offsets_[k];
    const uint64_t best = fromChain ? chainOffset_ : offsets_[k];
    if (LiveHolds() && liveOffset_ <= offset && liveOffset_ >= best)
        return KW_OK;
    const uint64_t position = fromChain ? chainPosition_ : positions_[k];
    const uint8_t* state = fromChain ? chainState_ : states_ + size_t{k} * stateSize_;
    live_ = false;
    kwRet rc = static_cast<kwRet>(store_->Seek(position));
    if (rc == KW_OK && stateSize_ != 0)
        rc = static_cast<kwRet>(store_->RestoreDecoderState(state));
    if (rc != KW_OK)
        return rc;
    if (!fromChain && k == last_) {
        chain_ = true; // a decode from the last entry may extend the index
        chainPosition_ = position;
        chainOffset_ = offsets_[k];
        if (stateSize_ != 0)
            std::memcpy(chainState_, state, stateSize_);
    }
    liveInChain_ = fromChain || k == last_;
    live_ = true;
    livePosition_ = position;
    liveOffset_ = best;
    livePending_ = 0;
    return KW_OK;
}

kwRet PARTITION_ACCESS::DecodePiece(PA_PIECE* piece) {
    uint32_t got = 0;
    SetPhase(liveOffset_);
    kwRet rc = static_cast<kwRet>(store_->Read(piece->buffer, kDecodeBytes, &got));
    uint32_t total = got;
    const uint32_t pending = rc == KW_OK ? store_->GetPendingCount() : 0;
    // Take the rest of the decoder's last block too when it fits, so that
    // the piece ends where decoding can start again.
    if (got == kDecodeBytes && pending != 0 && pending <= PA_CACHE::BufferSize() - got) {
        SetPhase(liveOffset_ + got);
        rc = static_cast<kwRet>(store_->Read(piece->buffer + got, pending, &got));
        total += got;
    }
    if (rc != KW_OK || total == 0) {
        live_ = false;
        return rc != KW_OK ? rc : ERR_IMG_READ; // the data ends before its blocks do
    }
    piece->start = liveOffset_;
    piece->count = total;
    liveOffset_ += total;
    livePosition_ = store_->GetPosition();
    livePending_ = store_->GetPendingCount();
    if (livePending_ == 0 && liveInChain_)
        AddRestartPoint();
    return KW_OK;
}

uint64_t PARTITION_ACCESS::GroupOffset(uint64_t group) {
    const uint64_t block = shift_ < 32 ? group << shift_ : UINT64_MAX;
    return map_.DataOffset(block);
}

// The decoder stands at a restart point: every group that the decode has
// passed beyond the chain's latest point takes that point, and the new point
// becomes the chain's latest.
void PARTITION_ACCESS::AddRestartPoint() {
    if (liveOffset_ >= map_.DataOffset(uint64_t{map_.BlockLimit()} + 1))
        return; // the end of the data restarts nothing
    auto put = [this](uint32_t k) {
        positions_[k] = chainPosition_;
        offsets_[k] = chainOffset_;
        if (stateSize_ != 0)
            std::memcpy(states_ + size_t{k} * stateSize_, chainState_, stateSize_);
    };
    while (last_ + 1 < capacity_ && GroupOffset(last_ + 1) < liveOffset_)
        put(++last_);
    chainPosition_ = livePosition_;
    chainOffset_ = liveOffset_;
    if (stateSize_ != 0 && store_->SaveDecoderState(chainState_) != 0) {
        chain_ = liveInChain_ = false;
        return;
    }
    if (last_ + 1 < capacity_ && GroupOffset(last_ + 1) == liveOffset_)
        put(++last_);
}

kwRet PARTITION_ACCESS::DecodeTo(uint64_t offset, PA_PIECE** found) {
    kwRet rc = SelectMine();
    if (rc == KW_OK)
        rc = StartDecode(offset);
    const uint64_t blockBytes = map_.BlockBytes();
    const uint32_t low = static_cast<uint32_t>(liveOffset_ / blockBytes);
    const uint32_t high = static_cast<uint32_t>(offset / blockBytes);
    uint32_t mark = 0;
    bool shown = false;
    while (rc == KW_OK) {
        PA_PIECE* piece = PA_CACHE::TakeOldest(this);
        if (piece == nullptr) {
            rc = ERR_NO_CACHE_PIECE;
            break;
        }
        if ((rc = DecodePiece(piece)) != KW_OK)
            break;
        if (piece->Covers(this, offset)) {
            *found = piece;
            break;
        }
        const uint32_t current = static_cast<uint32_t>(liveOffset_ / blockBytes);
        if (callback_ != nullptr && current >= mark) {
            shown = true;
            if (!callback_->Progress(low, high, current))
                rc = ERR_USER_CANCEL;
            mark = current + (high - low) / 100;
        }
    }
    if (shown && !callback_->EndProgress() && rc == KW_OK)
        rc = ERR_USER_CANCEL;
    return rc;
}

OLDKWI_ACCESS::~OLDKWI_ACCESS() {
    CloseAll(); // the file system reads through this object: close it first
}

kwRet OLDKWI_ACCESS::Open(const char* changeFile) {
    kwRet rc = reader_.Open(changeFile);
    if (rc == KW_OK)
        rc = MakePartitionRecord(reader_.TotalSectors(), reader_.PartitionType(),
                                 reader_.FileSystemKind());
    return rc;
}

kwRet OLDKWI_ACCESS::ReadSectors(uint32_t sector, void* buffer, uint32_t count) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    auto* out = static_cast<uint8_t*>(buffer);
    if (ServeFromCache(&sector, &out, &count))
        return KW_OK;
    kwRet rc = reader_.ReadSectors(sector, out, count);
    if (rc == KW_OK)
        KeepListed(sector, out, count);
    return rc;
}

KWIPART_ACCESS* CreateOldPartAccess(SHARED_PART_STORE* store, uint32_t part, IMAGE_STORE* image,
                                    PARTACCESS_UI_CALLBACK* callback, kwRet* code) {
    KWIPART_ACCESS* access = new (std::nothrow) OLDKWI_ACCESS(store, part, image, callback);
    *code = access != nullptr ? KW_OK : ERR_PART_ACCESS_NO_MEMORY;
    return access;
}

} // namespace kw::imgaccess
