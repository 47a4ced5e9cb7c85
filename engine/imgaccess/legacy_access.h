// Partitions of images of the older format, read through the image
// library's IMAGE_STORE.
//
// The older format stores a partition's used blocks one after the other,
// plainly or as one compressed stream. A plain partition is read at any
// block directly. A compressed stream can only be decoded from its start or
// from a restart point: a stored-data position together with the decoder's
// state there. PARTITION_ACCESS keeps an index of restart points (one per
// 2^shift blocks at most, at least one per 64 KiB of data where memory
// allows), fills it while it decodes, keeps the last decoded pieces in the
// shared piece cache, and can save the index with the store's volume table
// into the image's change file so that the next opening need not decode
// from the start again.
//
// Offsets: the decoded data of a partition is its stored blocks one after
// the other, so the data of block b begins at (stored blocks below b) times
// the block size (UDATA_MAP). Password scrambling runs in 32-bit words from
// the start of the decoded data, so every read sets the store's key
// rotation from the offset it starts at.
#pragma once

#include "engine/imgaccess/change_file.h"
#include "engine/imgaccess/part_access.h"
#include "engine/imgaccess/udata_map.h"
#include "kwvaults_image_store.h"

#include <cstdint>
#include <span>
#include <string>

namespace kw::imgaccess {

struct PA_PIECE;

// The three questions a partition access asks its image (and through it
// the editor).
class PARTACCESS_UI_CALLBACK {
public:
    // What to do about a failed change file (`code`, path `text`): 2 stop
    // the open, 3 try again, anything else go on without it.
    virtual uint32_t Query(uint32_t code, const char* text) = 0;
    // A long decode is under way from `low` to `high`, now at `current`;
    // false: the user cancelled.
    virtual bool Progress(uint32_t low, uint32_t high, uint32_t current) = 0;
    virtual bool EndProgress() = 0;

protected:
    ~PARTACCESS_UI_CALLBACK() = default;
};

// One partition of an older-format image: owns its used-block map, its
// restart-point index and its use of the piece cache; holds one reference
// to the image store, which it shares with the image's other partitions.
class PARTITION_ACCESS {
public:
    PARTITION_ACCESS(IMAGE_STORE* store, uint32_t number, PARTACCESS_UI_CALLBACK* callback);
    ~PARTITION_ACCESS();
    PARTITION_ACCESS(const PARTITION_ACCESS&) = delete;
    PARTITION_ACCESS& operator=(const PARTITION_ACCESS&) = delete;

    // Reads the partition's shape and used-block map, then the change file
    // (may be null or empty) for compressed and spanning partitions. 1807
    // for zlib data (it has no restart points), 1802 for a damaged record.
    kwRet Open(const char* changeFile);
    // Partition-relative 512-byte sectors.
    kwRet ReadSectors(uint32_t sector, void* buffer, uint32_t count);
    kwRet LoadChanges(const char* changeFile);
    kwRet SaveChanges(const char* changeFile);
    // 1 when the partition needs no change file or the file holds its
    // record, else 0.
    uint32_t CheckChangeFile(const char* changeFile);

    uint32_t Number() const { return number_; }
    uint32_t TotalSectors() const { return totalSectors_; }
    uint32_t PartitionType() const { return partitionType_; }
    uint32_t FileSystemKind() const { return fsKind_; }
    bool IsCompressed() const { return compressed_; }
    uint32_t IndexEntries() const { return index_ != nullptr ? last_ + 1 : 0; }
    uint32_t IndexShift() const { return shift_; }
    const UDATA_MAP& Map() const { return map_; }

private:
    kwRet ReadShape();
    kwRet BuildUsedMap();
    kwRet AskAboutChanges(const char* changeFile);
    kwRet SelectMine();
    void SetPhase(uint64_t offset);
    kwRet ReadPlain(uint64_t offset, uint8_t* out, uint64_t bytes);
    kwRet ReadDecoded(uint64_t offset, uint8_t* out, uint64_t bytes);
    kwRet DecodeTo(uint64_t offset, PA_PIECE** found);
    kwRet StartDecode(uint64_t offset);
    kwRet DecodePiece(PA_PIECE* piece);
    bool LiveHolds();
    void AddRestartPoint();
    uint64_t GroupOffset(uint64_t group);
    kwRet AllocateIndex(uint32_t shift, uint64_t entries);
    void FreeIndex();
    kwRet NewIndex();
    kwRet InstallRecord(const CHANGE_RECORD& record);
    // Appends this partition's record to the file's bytes and points its
    // table entry at it.
    kwRet AppendRecord(std::string* file);
    kwRet ChangeFileBase(const char* changeFile, const CHANGE_LIMITS& limits, std::string* file);
    CHANGE_LIMITS Limits() const;
    uint32_t EntryColumns(uint32_t* firstBlocks, uint32_t* carries);

    IMAGE_STORE* store_; // one reference held
    uint32_t number_;    // 1-based partition number in the store
    PARTACCESS_UI_CALLBACK* callback_;
    UDATA_MAP map_;
    uint32_t totalSectors_ = 0, partitionType_ = 0, fsKind_ = 0;
    uint32_t code_ = 0;
    bool compressed_ = false;
    bool spanning_ = false;
    bool poolUser_ = false;
    uint64_t storedBytes_ = 0;

    // The restart-point index: entry k lies at or before the data of block
    // k << shift_; entries 0 to last_ are filled, capacity_ allocated.
    uint8_t* index_ = nullptr; // one allocation: positions, offsets, states
    uint64_t* positions_ = nullptr;
    uint64_t* offsets_ = nullptr; // decoded-data offset of each point
    uint8_t* states_ = nullptr;
    uint32_t capacity_ = 0, last_ = 0, shift_ = 0, stateSize_ = 0;

    // The latest restart point of a decode that began at the last entry: it
    // becomes the entry of every group that the decode passes beyond it.
    bool chain_ = false;
    bool liveInChain_ = false; // the decoder descends from the chain's latest point
    uint64_t chainPosition_ = 0, chainOffset_ = 0;
    uint8_t* chainState_ = nullptr;

    // Where this access left the store's decoder: the next ReadData
    // delivers decoded byte liveOffset_ while the store stands at
    // livePosition_ with livePending_ bytes held back.
    bool live_ = false;
    uint64_t livePosition_ = 0, liveOffset_ = 0;
    uint32_t livePending_ = 0;
};

// An older-format partition behind the partition-access interface.
class OLDKWI_ACCESS final : public KWIPART_ACCESS {
public:
    OLDKWI_ACCESS(SHARED_PART_STORE* store, uint32_t part, IMAGE_STORE* image,
                  PARTACCESS_UI_CALLBACK* callback)
        : KWIPART_ACCESS(store, part), reader_(image, part + 1, callback) {}
    ~OLDKWI_ACCESS() override;

    kwRet Open(const char* changeFile) override;
    kwRet ReadSectors(uint32_t sector, void* buffer, uint32_t count) override;
    kwRet LoadChanges(const char* changeFile) override { return reader_.LoadChanges(changeFile); }
    kwRet SaveChanges(const char* changeFile) override { return reader_.SaveChanges(changeFile); }
    uint32_t CheckChangeFile(const char* changeFile) override {
        return reader_.CheckChangeFile(changeFile);
    }
    kwRet BuildUsedMap() override { return KW_OK; } // built by the open

    PARTITION_ACCESS& Reader() { return reader_; }

private:
    PARTITION_ACCESS reader_;
};

// Makes an OLDKWI_ACCESS for part `part` of the adapter store over `image`;
// null with 242424 when out of memory.
KWIPART_ACCESS* CreateOldPartAccess(SHARED_PART_STORE* store, uint32_t part, IMAGE_STORE* image,
                                    PARTACCESS_UI_CALLBACK* callback, kwRet* code);

} // namespace kw::imgaccess
