// StoreContainer: one container of named streams over a set of volume files.
// It owns the set's first record and password, one chunk buffer (read or
// write), the chunk codecs, the directory tables and the stream table, and
// hands out one stream reader, one stream writer and one stream enumerator
// at a time. Its volume files are the volume set's; the chunks it writes are
// the chunk writer's.
#pragma once

#include "imagestore/container/chunk_cache.h"
#include "imagestore/container/chunk_record.h"
#include "imagestore/container/chunk_unseal.h"
#include "imagestore/container/chunk_writer.h"
#include "imagestore/container/codec_adapter.h"
#include "imagestore/container/container_directory.h"
#include "imagestore/container/stream_table.h"
#include "imagestore/container/volume_set.h"
#include "kwvaults_callbacks.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kwv {

class StreamReader;
class StreamWriter;
class StreamEnumerator;
class ReadAhead;

// CONTAINER_OPTIONS of a new set.
constexpr uint32_t kOptPayloadCrc = 0x1;
constexpr uint32_t kOptLzs = 0x2;
constexpr uint32_t kOptOwnMethod = 0x8;
constexpr uint32_t kOptVerifyVolumes = 0x10;
constexpr uint32_t kOptNoDirectoryCopy = 0x80;
constexpr uint32_t kOptClosed = 0x100;
constexpr uint32_t kOptErrorCorrection = 0x200;
constexpr uint32_t kOptOldSignature = 0x400;
constexpr uint32_t kOptKeepLastMedium = 0x800;

// GetInfo bits.
constexpr uint32_t kInfoPayloadCrc = 0x01;
constexpr uint32_t kInfoLzs = 0x02;
constexpr uint32_t kInfoOwnMethod = 0x08;
constexpr uint32_t kInfoVerifyVolumes = 0x10;
constexpr uint32_t kInfoPassword = 0x20;
constexpr uint32_t kInfoNoDirectoryCopy = 0x80;
constexpr uint32_t kInfoClosed = 0x100;
constexpr uint32_t kInfoErrorCorrection = 0x200;
constexpr uint32_t kInfoOldSignature = 0x400;
constexpr uint32_t kInfoKeepLastMedium = 0x800;

class StoreContainer final : public PASSWORD_SINK {
    // It fills this object's chunk buffer and hands chunks back to store.
    friend class ChunkWriter;
    // It reads the set's first record and prompts through the caller.
    friend class VolumeSet;

public:
    uint32_t AddRef();
    uint32_t Release();
    void* QueryExtension(uint32_t) { return nullptr; }
    int DeleteSet();
    int VerifyAll();
    int Close();
    // Closes a set opened for appending without writing anything, as long as
    // nothing of the append has reached the disk; else as Close.
    int Abandon();
    // Closes without writing a directory: an append is taken back, a new set
    // is removed. For a writer whose data cannot all be kept.
    int Discard();
    void GetInfo(uint32_t* bits, uint32_t* volumes, uint64_t* storedSize, uint64_t* streamLength);
    void GetPath(char* buffer, size_t size) const;
    // Settles the segment being written first, so that the answer depends on
    // the data alone, never on how far the workers got.
    int32_t GetCurrentChunk();
    // Stores everything written so far, waiting for the workers, and returns
    // the first failure of it (which the next append or the close reports again).
    int SettleWrites();
    void SetReadAhead(uint32_t chunk);
    StreamReader* OpenStream(const char* path, int* error);
    StreamWriter* CreateStream(const char* path, uint32_t tag1, uint32_t tag2, int* error);
    StreamEnumerator* EnumerateStreams(const char* path, char* name, size_t size, int* error);
    int ReadSmallStream(const char* path, uint32_t* tag1, uint32_t* tag2, uint64_t* start,
                        uint64_t* length, void* buffer, uint32_t size, uint32_t* inlineLength);
    int WriteSmallStream(const char* path, const void* data, uint32_t length);
    // Write mode, no stream writer or enumerator open: takes a stream and its
    // children out of the stream table.
    int RemoveStream(const char* path);

    uint32_t TryPassword(const char16_t* text) override;

    // Creation (see the free functions below).
    StoreContainer(std::string path, MEDIA_CHANGE_CALLBACK* callback);
    int Open(bool append);
    int OpenForAppend(uint64_t volumeLimit);
    int Create(const char16_t* password, uint64_t volumeLimit, uint32_t options);
    uint32_t FreeCreationTime() const;

    // Used by the stream objects.
    // Reads stream-space bytes; *done (when given) counts the bytes delivered,
    // also when the read fails partway.
    int ReadSpace(uint64_t offset, uint8_t* buffer, uint64_t length, uint64_t* done = nullptr);
    int AppendSpace(const uint8_t* data, uint64_t length, uint64_t* firstOffset);
    StreamTable& Table() { return table_; }
    void Detach(StreamReader* reader);
    void Detach(StreamWriter* writer);
    void Detach(StreamEnumerator* enumerator);
    bool Writing() const { return mode_ == Mode::Write; }
    // True when the set was opened at an earlier directory because the
    // chunks after it carry none (a write that stopped, a missing volume).
    bool FellBack() const { return recovered_; }

private:
    enum class Mode { None, Read, Write };
    ~StoreContainer();

    // Takes the first record of the first volume opened, asking for the
    // password when the set has one.
    int AcceptHeader(const uint8_t* bytes);

    // Reading (container_read.cpp).
    int LoadChunk(uint32_t number);
    // Makes a chunk of the decoded-chunk cache the loaded one when it is
    // held there and still lies where it must.
    bool TakeCachedChunk(uint32_t number);
    // Keeps the loaded chunk's data in the cache (read mode only); the
    // files must not have been written since `generation`.
    void KeepLoadedChunk(uint64_t generation);
    // Reads the stored bytes of chunk `indexInVolume` of the current volume.
    RawChunk ReadChunkBytes(uint32_t indexInVolume, uint8_t* chunk);
    // Makes an opened chunk the loaded one when it lies where it must.
    int AcceptChunk(const Unsealed& opened);
    // Queues the chunks after `number` in the current volume for opening ahead.
    void ReadOnAhead(uint32_t number);
    void DropReadAhead();
    bool PlaceFits(const ChunkRecord& record) const;
    int Locate(uint64_t offset);
    uint32_t FirstGuess(uint64_t offset, uint32_t lo, uint32_t hi, uint64_t loOff,
                        uint64_t hiEnd) const;
    bool Covers(uint64_t offset) const;
    int FindLastChunk(uint64_t* directoryAt);
    int FindEarlierDirectory(uint32_t last, uint64_t* directoryAt);
    int ReadDirectory(uint64_t at, bool countsKnown, DirectoryRecord* dir);
    int CompleteIndex(uint32_t fromChunk);
    bool AllocateChunkBuffer();
    int ReadSetUp(bool append);
    // The directory copy in chunk 0 (*found), or the committed end that
    // chunk 0 names while an append is under way (*marked).
    int FindDirectoryCopy(uint64_t* at, bool* found, bool* marked);
    int FindCommittedEnd(const CommittedEnd& end, uint64_t* at);
    int SetUpAppend();

    // Rewriting what is on disk (container_commit.cpp).
    std::string RollbackPath() const;
    bool Chunk0Sound(const uint8_t* bytes, uint32_t stored) const;
    bool ReadRollback(std::vector<uint8_t>& out, uint32_t stored) const;
    void LoadRollback();
    int ReadChunk0(VolumeFile* f, std::vector<uint8_t>& out);
    int RewriteChunk0(VolumeFile* f, const uint8_t* old, const uint8_t* now);
    int ClearChunk0Directory();
    int PrepareAppend();
    bool WroteAnything() const;
    int RollBackAppend();
    // Undoes what this object wrote: a new set goes, an append is taken back.
    void UndoWriting();

    // Writing (container_write.cpp); the chunks themselves are the chunk
    // writer's.
    int SetUpWriting();
    // Stores a sealed chunk in its volume and counts it.
    int StoreChunk(const uint8_t* bytes, const ChunkRecord& record);
    int CloseWriting();
    void EndWriting();
    void RemoveCreatedSet();
    std::vector<uint8_t> BuildDirectory() const;
    int WriteDirectoryCopy(const std::vector<uint8_t>& directory);
    void Scramble(uint8_t* chunk) const;

    std::string path_;
    MEDIA_CHANGE_CALLBACK* callback_;
    uint32_t refs_ = 1;
    Mode mode_ = Mode::None;

    bool haveHeader_ = false;
    ChunkRecord header_;
    uint8_t headerBytes_[kRecordSize] = {};
    std::u16string password_;
    bool passwordOk_ = false;

    StreamTable table_;
    ChunkIndex index_;
    // The volume files: the one at hand, the volume table, media prompts.
    VolumeSet volumes_{*this};

    // Counters of the set.
    uint32_t chunkCount_ = 0;
    uint64_t streamLength_ = 0;
    uint32_t reservedSize_ = 0;

    // The chunk buffer (read or write) and the chunk in it.
    std::vector<uint8_t> buffer_;
    ChunkRecord chunk_;
    bool chunkLoaded_ = false; // read mode: buffer holds chunk_.chunkNumber
    // What loaded chunks are checked against: the chunks the directory's
    // index covers, and the last chunk that passed its checks.
    uint32_t indexedChunks_ = 0;
    bool haveNeighbour_ = false;
    ChunkRecord neighbour_;
    DecoderPtr storedDecoder_, setDecoder_;
    ::ChunkDecoder* decoder_ = nullptr;
    // Read mode: the decoded chunks readers come back to, and the loaded
    // chunk's entry there (its data serves the reads when it is set).
    bool cacheChunks_ = false;
    std::unique_ptr<ChunkCache> cache_;
    CachedChunkPtr cached_;
    // Threads this object works with, and the chunks opened ahead of a
    // sequential reader (read mode, more than one thread).
    uint32_t threads_ = 1;
    std::unique_ptr<ReadAhead> ahead_;
    // Write mode: the chunk being filled, its encoders and the segments
    // written behind the caller.
    ChunkWriter chunks_{*this};
    // A failure met while settling (GetCurrentChunk, SettleWrites): the next
    // append or the close reports it.
    int unreported_ = 0;

    StreamReader* reader_ = nullptr;
    StreamWriter* writer_ = nullptr;
    StreamEnumerator* enumerator_ = nullptr;

    bool verifyVolumes_ = false;
    bool oldSignature_ = false;
    bool keepLastMedium_ = false;
    bool recovered_ = false; // opened from a directory before an unfinished write

    // Appending: what the first stored chunk must change on disk first.
    bool appending_ = false;
    bool prepared_ = false;            // chunk 0's copy cleared, leftovers cut off
    bool touched_ = false;             // something of this append reached the disk
    bool copyInChunk0_ = false;        // chunk 0 carries a directory copy
    bool appendStopped_ = false;       // chunk 0 shows an append under way
    std::vector<uint8_t> openedTable_; // the stream table as the set was opened
    // What a failed append puts back: the set's last volume and the chunks
    // it held, and chunk 0 as it was before its copy was cleared.
    uint32_t openedVolume_ = 0;
    uint32_t openedVolumeChunks_ = 0;
    std::vector<uint8_t> chunk0BeforeAppend_;
    // Chunk 0 from the rollback file, when a rewrite of it was cut short.
    std::vector<uint8_t> chunk0Rollback_;
};

// Creation functions: each refuses a continuation-volume path with 1878 and
// returns null on failure with the error in *error (when given).
StoreContainer* OpenContainerForRead(const char* path, MEDIA_CHANGE_CALLBACK* callback, int* error);
StoreContainer* OpenContainerForAppend(const char* path, uint32_t limitLow, uint32_t limitHigh,
                                       MEDIA_CHANGE_CALLBACK* callback, int* error);
StoreContainer* CreateContainer(const char* path, const char16_t* password, uint32_t limitLow,
                                uint32_t limitHigh, uint32_t options,
                                MEDIA_CHANGE_CALLBACK* callback, int* error);
int DeleteContainerSet(const char* path, MEDIA_CHANGE_CALLBACK* callback);

// Tests may fix the clock that new sets take their creation time from
// (null: the system's).
void SetCreationClockForTests(std::function<uint32_t()> clock);

// CRC-32 of a password (at most 64 UTF-16 units).
uint32_t PasswordCrc(const char16_t* text);

} // namespace kwv
