// NTFS_FILESYSTEM: the file system of one NTFS partition, read side. It owns
// the decoded boot sector, the run list of the $MFT, a bounded cache of file
// records, and (loaded on first use) the upcase table; it resolves paths
// through the folders' $I30 indexes, lists folders into a DIRLIST, reads
// files through NTFS_FILE_HANDLE, maps used clusters for copying and gives
// the volume's label, version and serial.
//
// Every sector goes through the partition handle of the base (kwLogRead), so
// disks, KW_DISKS files and partitions inside images serve it alike. Every
// walk is bounded: a damaged record, run list or index fails that file or
// folder with a code, never the whole volume, and never loops.
//
// The write side (ntfs_volume_write.cpp, NTFS_ATTRIBUTE) changes records,
// clusters and both bitmaps. It writes nothing unless CheckWritable passes:
// not opened read-only, a disk that takes writes, a partition the host does
// not use, a volume not marked dirty. Every change is ordered so that a cut
// between two writes loses nothing that was there: clusters and records are
// marked used before anything refers to them, and referred to no more before
// they are marked free; the disk is flushed between the steps.
//
// Sizes and positions are 64-bit throughout.
#pragma once

#include "engine/fs/filesystem.h"
#include "engine/ntfs/ntfs_index.h"
#include "engine/ntfs/ntfs_layout.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The bytes of one attribute gathered over all its extents: a resident
// value, or the run list and sizes of a non-resident one.
struct NTFS_STREAM {
    uint32_t type = 0;
    uint16_t flags = 0;
    bool nonResident = false;
    std::vector<uint8_t> value;
    std::vector<kw::ntfs::Run> runs;
    uint64_t dataSize = 0;
    uint64_t allocatedSize = 0;
    uint64_t initializedSize = 0;

    uint64_t Size() const { return nonResident ? dataSize : value.size(); }
};

// An open file: its unnamed $DATA and the byte position. Owned by whoever
// opened it (CloseFile frees it).
struct NTFS_FILE_HANDLE : KwEngineAlloc {
    NTFS_STREAM data;
    uint64_t record = 0;
    uint64_t position = 0;
    bool namedStreams = false; // the record holds more $DATA than the unnamed one
    bool readOnly = true;
    bool written = false;
    // The data's sizes in memory are ahead of its record (writes into
    // clusters taken already); CloseFile stores them.
    bool sizesPending = false;
};

// One name of a folder's index, as a listing or a lookup sees it.
struct NTFS_INDEX_NAME {
    uint64_t reference = 0;
    kw::ntfs::FileName key;
};

class NTFS_ATTRIBUTE;

class NTFS_FILESYSTEM : public FILESYSTEM {
public:
    explicit NTFS_FILESYSTEM(PARTITION_INFO* pi);
    ~NTFS_FILESYSTEM() override;

    // Reads the boot sector and the $MFT's own record and run list.
    kwRet Init() override;
    kwRet InitFull() override { return Init(); }
    kwRet Uninit() override;
    kwRet GenerateBitmap(STATE_MAP** map, uint32_t flags) override;
    kwRet GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags) override;
    kwRet ListDirectory(DIRLIST* list, const char* path, uint32_t flags) override;
    SECTOR_RUN* ListClusters(const char* path) override;
    uint32_t GetSerialNumber() override;
    kwRet GetVolumeLabel(char* buffer) override;
    kwRet GetBadSectors(SECT_LIST* list) override;
    // Shrinks the volume in place (ntfs_shrink.h); the runs are NTFS_MOVE_RUN
    // lists or null.
    kwRet Resize(uint32_t oldSize, uint32_t newSize, void* sourceRuns,
                 void* destinationRuns) override;
    // The smallest partition, in clusters, that Resize can shrink the volume
    // into: a partition of *clusters x sectors per cluster sectors holds the
    // volume (one cluster fewer) and its backup boot sector. The clusters
    // count as the plan would use them: every cluster in use past the end
    // moves to a free one below it, $Bitmap takes a new place of its present
    // size when it must move, and the $MFT's first run stays.
    kwRet CalcMinSotf(uint64_t* clusters);

    // The volume name as UTF-16LE, NUL-terminated, into 512 bytes.
    kwRet GetVolumeLabelUtf16(uint8_t* buffer);
    // Major and minor version from $Volume.
    kwRet GetVersion(uint8_t* major, uint8_t* minor);
    // Records marked in use in the $MFT's bitmap.
    kwRet CountRecordsInUse(uint32_t* count);

    // Paths inside the volume: components separated by '\', UTF-8; "\" is
    // the root. 504 when a component is missing, 503 when one before the
    // last is not a folder, 505 for a path ending in '\' (other than "\").
    kwRet FindFile(const char* path, uint64_t* record, uint64_t* parent);
    // Lists a folder. mode 1: every name but DOS-only ones; 2: DOS names
    // only; other values: every name. Records below 16 are never listed.
    kwRet ListFolder(uint64_t record, uint32_t mode, DIRLIST* list);

    // Files: 1681 for compressed or encrypted data, 504 for a folder. A
    // handle for writing needs a writable volume (CheckWritable).
    kwRet OpenFile(const char* path, NTFS_FILE_HANDLE** handle, bool forWrite = false);
    // Frees the handle; a written one first stores its sizes and gives back
    // the clusters taken ahead past its end.
    kwRet CloseFile(NTFS_FILE_HANDLE* handle);
    // Reads count bytes at the position and advances it; 10 when they pass
    // the data size, 722 when they reach a sparse run.
    kwRet ReadFile(NTFS_FILE_HANDLE* handle, void* buffer, uint32_t count);
    uint64_t GetFileSize(const NTFS_FILE_HANDLE* handle) const { return handle->data.Size(); }
    // Writes count bytes at the position and advances it, growing the file
    // (79 for a read-only handle). The data reaches the disk before the
    // record that refers to it. A file that grows takes clusters ahead (half
    // its size, at most 128 MiB), and writes into them store the
    // sizes only when it grows again or is closed: a cut meanwhile leaves it
    // at the size last stored.
    kwRet WriteFile(NTFS_FILE_HANDLE* handle, const void* buffer, uint32_t count);
    // Stores a written handle's sizes and gives back the clusters taken
    // ahead past its end.
    kwRet FinishWrites(NTFS_FILE_HANDLE* handle);
    // Grows (the new bytes read as zeros) or cuts the file.
    kwRet SetFileSize(NTFS_FILE_HANDLE* handle, uint64_t size);
    // The sector runs of a file's $DATA. A resident $DATA has none; with
    // makeNonResident on a writable volume it is first moved into clusters.
    SECTOR_RUN* ListFileClusters(const char* path, bool makeNonResident);

    // --- Changing the volume ---

    // 0 when the volume may be written, else 55 (and the reason logged).
    // The first call reads both bitmaps for the allocators.
    kwRet CheckWritable();
    void SetReadOnly(bool on) { readOnly_ = on; }
    // Makes every write of this volume so far durable; a flush with nothing
    // written since the last one costs nothing.
    kwRet FlushVolume();
    // Index buffers of a folder that a root write gave back: they are not
    // taken again before that write is durable (the next FlushVolume).
    void NoteBuffersGiven(uint64_t folder, const std::vector<uint64_t>& vcns);
    bool BufferUnsettled(uint64_t folder, uint64_t vcn) const;
    // The base's sector write, noted for FlushVolume.
    kwRet WriteSectors(uint32_t first, const void* buffer, uint32_t count);

    // A copy of a record with its fix-ups removed. With allowUnused a record
    // not in use (or not a "FILE" record) is given as read.
    kwRet ReadRecordForChange(uint64_t number, std::vector<uint8_t>* bytes,
                              bool allowUnused = false);
    // Writes a record (fix-ups applied on a copy) through the $MFT's data;
    // the cache takes it. A record $MFTMirr mirrors is written under a hold
    // (ntfs_mirror.cpp), the mirror refreshed after it.
    kwRet WriteRecord(uint64_t number, const std::vector<uint8_t>& bytes);
    // Around a change of several mirrored records: while held, $MFTMirr's
    // record in the $MFT says the mirror is empty and the records change in
    // the $MFT alone; the last release copies them into the mirror and
    // gives its size back. Holds nest; ReleaseMirror returns rc when that
    // is a failure, else the refresh's result.
    kwRet HoldMirror();
    kwRet ReleaseMirror(kwRet rc);
    // The image of an empty record for `number` with the given flags and
    // the sequence number the record holds (freeing a record moves it on).
    kwRet NewRecordImage(uint64_t number, uint16_t flags, std::vector<uint8_t>* bytes);

    // Takes the first free record from 16 (system) or past 24 (ordinary) in
    // the $MFT bitmap in memory, growing the $MFT when none is left; a
    // record the bitmap calls free but that is in use on disk is passed over.
    kwRet AllocateFrs(bool system, uint64_t* number);
    // Clears a record's bit in memory.
    kwRet FreeFrs(uint64_t number);
    // Frees a base record with its extension records and the clusters of
    // all their attributes: the records are marked unused first, then the
    // $MFT bitmap and $Bitmap, each step flushed.
    kwRet FreeFileRecord(uint64_t number);
    // Writes the changed bytes of the in-memory bitmaps.
    kwRet WriteMftBitmap();
    kwRet WriteVolumeBitmap();

    // Clusters: pieces of `count` free clusters (one piece when contiguous),
    // marked used in memory: first right after `after` (the last cluster of
    // the attribute so far, or none), then forward from the allocation
    // start, then from the start of the volume; 1551 when they run out (and
    // nothing is taken).
    kwRet AllocateClusters(uint64_t count, bool contiguous, const kw::ntfs::Run* after,
                           std::vector<kw::ntfs::Run>* pieces);
    void MarkClusters(uint64_t first, uint64_t count, bool used);
    bool ClusterUsed(uint64_t cluster) const;
    uint64_t FreeClusterCount() const;
    // Clusters never handed out by the allocator (the shrink keeps them free).
    void AddShrinkRange(uint64_t first, uint64_t count);
    void ClearShrinkRanges() { shrinkRanges_.clear(); }
    // No allocation at or past this cluster.
    void SetTargetClusters(uint64_t count) { targetClusters_ = count; }

    // Bytes written into a stream's clusters, within its allocation (722
    // for a sparse run, 10 past the allocation).
    kwRet WriteStream(const NTFS_STREAM& stream, uint64_t offset, const void* buffer, size_t count);
    kwRet WriteVolumeBytes(uint64_t offset, const uint8_t* bytes, size_t count);

    // The byte range [offset, offset + count) of a non-resident stream, run
    // by run: `piece` gets each piece's volume offset, its offset in the
    // range and its length. 1517 where the runs end early, 722 at a sparse
    // run; a piece's failure ends the walk with its code.
    using StreamPiece = std::function<kwRet(uint64_t volumeOffset, size_t done, size_t n)>;
    kwRet ForEachStreamPiece(const NTFS_STREAM& stream, uint64_t offset, size_t count,
                             const StreamPiece& piece) const;

    // --- Names: creating and deleting files and folders ---

    // Creates an empty file (or an empty folder) and names it in its
    // folder's index; *record and *parent get the new record and the
    // folder's. 300 when the name is there, 503 when the folder is missing,
    // 505 for a name NTFS cannot hold, 302 when the volume is nearly full,
    // 55 when the volume may not be written. A failure after the record was
    // taken gives it back.
    kwRet CreateFile(const char* path, uint32_t attributes, uint64_t* record, uint64_t* parent);
    kwRet CreateDirectory(const char* path, uint32_t attributes, uint64_t* record,
                          uint64_t* parent);
    // Creates an empty file as CreateFile does and opens it for writing; the
    // new file is durable when the handle is closed, with what was written.
    kwRet CreateFileForWriting(const char* path, NTFS_FILE_HANDLE** handle);
    // Takes the file or empty folder out of its folder's index, then frees
    // its records and clusters. 353 for a folder that is not empty, 505 for
    // the root and the system files.
    kwRet DeleteFile(const char* path);
    // Gives a file or folder a new name, in its folder or another one: the
    // new name is written to the record and inserted into the index of its
    // folder before the old one leaves its index and then the record, so a
    // cut between any two writes leaves the entry under its old name, its
    // new name or both. 300 when the new name is taken (by another file),
    // 503 when its folder is missing, 504 when the file is, 505 for a name
    // NTFS cannot hold, the root, a system file, or a folder moved below
    // itself. A change of case alone rewrites the name in place.
    kwRet RenameFile(const char* from, const char* to);
    // Every name of the record leaves its folder's index; 504 when no index
    // held any.
    kwRet DeleteFrsFromIndexes(uint64_t record);
    bool FindDirectory(const char* path);
    // The record's names in their folders' indexes take its $FILE_NAME
    // values again (after its sizes or times changed).
    kwRet UpdateNameEntries(uint64_t record);
    // The index buffers of a folder kept for reading are dropped (they were
    // written).
    void ForgetIndexBuffers(uint64_t folder);
    // The collation of the folder indexes of this volume.
    kw::ntfs::NameOrder NameCollation();

    // One attribute of a record, gathered over the attribute list's
    // extension records (name: UTF-16LE bytes, exact). 1517 when missing.
    kwRet LoadStream(uint64_t record, uint32_t type, kw::ntfs::Bytes name, NTFS_STREAM* out);
    // Bytes [offset, offset + count) of a stream: 10 past its size; bytes past
    // the initialised size read as zeros; 722 for a sparse run.
    kwRet ReadStream(const NTFS_STREAM& stream, uint64_t offset, void* buffer, size_t count);

    // A decoded file record (fix-ups removed), shared with the cache.
    struct Record {
        std::vector<uint8_t> bytes;
        kw::ntfs::RecordHeader header;
    };
    using RecordPtr = std::shared_ptr<const Record>;
    // 1552 for a record not in use, 721 for an extension record unless
    // allowed, 1507/1513/1527 for a damaged one.
    kwRet GetRecord(uint64_t number, RecordPtr* out, bool allowExtension = false);

    const kw::ntfs::Geometry& GetGeometry() const { return geometry_; }
    const NTFS_STREAM& MftStream() const { return mft_; }
    // After the $MFT's own runs or size changed.
    kwRet SetMftStream(const NTFS_STREAM& stream);
    uint64_t GetRecordCount() const { return recordCount_; }
    bool IsOpen() const { return open_; }

    // The most file records kept in memory at once, and how many are read
    // together.
    static constexpr size_t kRecordCacheSize = 256;
    static constexpr uint64_t kRecordsReadAhead = 32;
    // The most index buffers kept in memory at once.
    static constexpr size_t kIndexCacheSize = 32;

private:
    friend class NTFS_SHRINK;
    using NameVisitor = std::function<bool(const NTFS_INDEX_NAME&)>;
    struct Folder;

    kwRet createEntry(const char* path, uint32_t attributes, bool folder, uint64_t* record,
                      uint64_t* parent, bool durable = true);
    kwRet buildRecord(uint64_t number, uint64_t folderReference, const std::u16string& name,
                      uint32_t attributes, bool folder, std::vector<uint8_t>* out);
    kwRet changeIndex(uint64_t folder, const std::function<kwRet(kw::ntfs::INDEX_BTREE&)>& change);
    kwRet insertName(uint64_t folder, const kw::ntfs::IndexKey& key);
    kwRet deleteName(uint64_t folder, kw::ntfs::Bytes name);
    kwRet renameLink(uint64_t record, uint64_t fromFolder, const std::u16string& oldName,
                     uint64_t toFolder, const std::u16string& newName);
    kwRet nameInPlace(uint64_t record, std::vector<uint8_t>& image,
                      const std::vector<uint32_t>& old, const std::vector<uint8_t>& value,
                      uint64_t folder);
    bool below(uint64_t folder, uint64_t record);
    kwRet dataOutOfRecord(uint64_t record);
    kwRet readBytes(uint64_t volumeOffset, uint8_t* out, size_t count);
    kwRet readRecords(uint64_t number, RecordPtr* out);
    RecordPtr cachedRecord(uint64_t number);
    void cacheRecord(uint64_t number, const RecordPtr& record);
    kwRet loadMft();
    kwRet setRecordCount(uint64_t dataSize);
    kwRet collectExtents(const Record& base, uint64_t baseNumber, uint32_t type,
                         kw::ntfs::Bytes name, NTFS_STREAM* out);
    kwRet openFolder(uint64_t record, Folder* folder);
    kwRet readCachedBuffer(Folder& folder, uint64_t vcn, uint64_t offset,
                           std::vector<uint8_t>* buffer);
    kwRet readIndexBuffer(Folder& folder, uint64_t vcn, std::vector<uint8_t>* buffer,
                          kw::ntfs::IndexNode* node);
    kwRet walkIndex(Folder& folder, const NameVisitor& visit);
    kwRet walkNode(Folder& folder, const kw::ntfs::IndexNode& node, int depth,
                   const NameVisitor& visit, bool* stop);
    kwRet lookup(uint64_t folderRecord, const std::u16string& name, uint64_t* record);
    kwRet descend(Folder& folder, const std::u16string& name, uint64_t* record);
    int compareNames(const std::u16string& a, kw::ntfs::Bytes b);
    void loadUpcase();
    char16_t upcase(char16_t c);
    kwRet volumeBitmap(STATE_MAP* map);
    kwRet clearBadClusters(STATE_MAP* map);
    kwRet clearFileData(STATE_MAP* map);
    kwRet mftBitmap(std::vector<uint8_t>* bits);

    kwRet loadWriteState();
    kwRet storeGrown(NTFS_ATTRIBUTE& data);
    kwRet storeShrunk(NTFS_ATTRIBUTE& data);
    kwRet dropWriteState(kwRet rc);
    kwRet checkHandleWritable(const NTFS_FILE_HANDLE* h);
    kwRet openRecord(uint64_t record, bool forWrite, NTFS_FILE_HANDLE** handle);
    kwRet openData(NTFS_FILE_HANDLE* h, NTFS_ATTRIBUTE* data);
    kwRet extendMft();
    kwRet growMft();
    uint64_t mirroredRecords() const;
    uint64_t mirrorSizeWanted(const NTFS_STREAM& mirror) const;
    kwRet loadMirror();
    kwRet refreshMirror();
    kwRet storeRecordImage(uint64_t number, std::vector<uint8_t> image);
    kwRet writeMirroredRecord(uint64_t number, const std::vector<uint8_t>& bytes);
    bool mirrorCurrent();
    kwRet writeBootCopies(const uint8_t* boot, bool first);
    kwRet repairBootCopies();
    kwRet writeBitmapBytes(const NTFS_STREAM& stream, const std::vector<uint8_t>& bits, size_t* low,
                           size_t* high);
    bool takeStretch(uint64_t from, uint64_t end, uint64_t need, bool contiguous,
                     std::vector<kw::ntfs::Run>* pieces, uint64_t* taken);
    bool inShrinkRange(uint64_t cluster, uint64_t* rangeEnd) const;

    kw::ntfs::Geometry geometry_;
    NTFS_STREAM mft_; // the $MFT's unnamed $DATA

    // Write side, loaded by the first CheckWritable.
    bool readOnly_ = false;
    bool writeState_ = false;
    bool unflushed_ = false;                                      // written since the last flush
    std::vector<std::pair<uint64_t, uint64_t>> unsettledBuffers_; // folder, VCN
    std::vector<uint8_t> clusterBits_;                            // $Bitmap as on disk
    std::vector<uint8_t> mftBits_;                                // $MFT:$BITMAP as on disk
    NTFS_STREAM bitmapStream_, mftBitmapStream_, mirrorStream_;
    uint64_t mirrorBytes_ = 0; // the records mirrored, in bytes
    int mirrorHold_ = 0;
    std::vector<uint8_t> pendingMirror_;             // $MFTMirr's record, written at the release
    size_t clusterLow_ = SIZE_MAX, clusterHigh_ = 0; // changed bytes
    size_t mftLow_ = SIZE_MAX, mftHigh_ = 0;
    uint64_t allocationStart_ = 0;
    uint64_t targetClusters_ = 0;
    std::vector<kw::ntfs::Run> shrinkRanges_;
    uint64_t recordCount_ = 0;
    bool open_ = false;
    bool loading_ = false; // the $MFT's own extents are being gathered

    struct CacheEntry {
        uint64_t number = 0;
        uint64_t lastUse = 0;
        RecordPtr record;
    };
    std::vector<CacheEntry> cache_;
    uint64_t useClock_ = 0;
    // Index buffers as read (fix-ups still applied), by folder and VCN.
    struct IndexCacheEntry {
        uint64_t record = 0;
        uint64_t vcn = 0;
        uint64_t lastUse = 0;
        std::vector<uint8_t> bytes;
    };
    std::vector<IndexCacheEntry> indexCache_;
    std::vector<char16_t> upcase_;
    bool upcaseTried_ = false;
};

// UTF-16LE bytes of an index key or attribute as a UTF-8 name.
std::string NtfsNameToUtf8(kw::ntfs::Bytes name);
