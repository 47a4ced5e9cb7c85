// VolumeSet: the volume files of a container set. It owns the volume at hand
// (open for reading or writing, its index and the chunks it holds), the
// volume table, the names of the members and the prompts for media, the
// creation of new volumes and the spanning of chunks onto the next one, the
// lock of a writer on volume 0, and the leftovers of a write that stopped
// (volumes and chunks past the set's end, cut before an append writes). The
// set's first record and its password stay with the container.
#pragma once

#include "imagestore/container/chunk_record.h"
#include "imagestore/container/container_directory.h"
#include "imagestore/container/volume_files.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kwv {

class StoreContainer;

class VolumeSet {
public:
    explicit VolumeSet(StoreContainer& set);
    VolumeSet(const VolumeSet&) = delete;
    VolumeSet& operator=(const VolumeSet&) = delete;

    // The volume at hand (null when none is open) and what it holds.
    VolumeFile* File() const { return file_.get(); }
    bool Writable() const { return file_ != nullptr && fileWritable_; }
    uint32_t Index() const { return volIndex_; }
    uint32_t FirstChunk() const { return volFirstChunk_; }
    uint32_t Chunks() const { return volChunks_; }
    // The number of volumes of the set.
    uint32_t Count() const { return volumeCount_; }
    void SetCount(uint32_t count) { volumeCount_ = count; }
    VolumeTable& Table() { return table_; }
    const VolumeTable& Table() const { return table_; }
    // The volume table as the directory gave it; what the volume at hand
    // holds is noted in the working table.
    void TakeCommitted(const VolumeTable& table);
    // The most bytes a new volume may take (at least one stored chunk).
    void SetLimit(uint64_t limit) { volumeLimit_ = limit; }
    void RaiseLimitTo(uint64_t least);

    // Reading: makes volume `index` (or the one holding `chunk`) the one at
    // hand, asking for its medium when it is on removable media.
    int Select(uint32_t index);
    int SelectHolding(uint32_t chunk);
    void Close();

    // Names. The path of member volume `index` as the folder holds it.
    std::string MemberPath(uint32_t index);
    bool Removable(const std::string& path) const;
    // Members of the set (index, path) by index; `anyTime` takes files of any
    // creation time (before a header is known).
    std::vector<std::pair<uint32_t, std::string>> ListMembers(uint32_t creationTime,
                                                              bool anyTime = false);
    // True when the file holds at least one stored chunk.
    bool HoldsWholeChunk(const std::string& path) const;
    // Deletes every continuation volume of the set (DeleteSet).
    int DeleteContinuations(uint32_t counted);

    // The advisory lock of a writer on volume 0, held until the set closes.
    int LockSet();
    void Unlock() { lock_.reset(); }
    static bool SetInUse(const std::string& path0);
    // Volume 0 opened for update: the volume at hand when that is volume 0,
    // else a handle of its own in `own`; asks for its medium when needed.
    int Volume0ForUpdate(std::unique_ptr<VolumeFile>& own, VolumeFile** f);

    // Writing. Creates volume 0 of a new set.
    int CreateFirst();
    // Writing resumes in volume `last`, which holds chunks [first, first +
    // chunks) of the set; false when it cannot be opened for update (new
    // chunks then go to a new volume).
    bool ResumeIn(uint32_t last, uint32_t first, uint32_t chunks);
    // Stores a sealed chunk after the last one of the volume at hand, or at
    // the start of the next volume when the limit or the medium is reached.
    int Store(const uint8_t* bytes, uint32_t stored);
    // Checks every chunk of the volume at hand (when the set verifies volumes).
    int VerifyVolume();
    // Flushes the volume at hand and the folder entries of the volumes made.
    int Flush();

    // Leftovers of a write that stopped. Notes the volumes after `last` that
    // an append cuts (`chunkCount` chunks committed; `appendStopped` when
    // chunk 0 shows an append under way); refuses with 1810 when a volume of
    // the set is missing or belongs elsewhere.
    int NoteTrailingVolumes(uint32_t last, uint32_t chunkCount, bool appendStopped);
    // Cuts the noted volumes and the chunks past the set's end in the
    // volume at hand.
    int CutLeftovers(uint32_t lastChunk);
    // Takes back the volumes of a failed append: those made go and volume
    // `last` is cut back to `chunks` chunks.
    int TakeBack(uint32_t last, uint32_t chunks);
    // Removes the volume files made for a new set.
    void RemoveCreated();

private:
    int OpenReadVolume(uint32_t index, OpenFailure* why);
    int AskForVolume(uint32_t index, uint32_t attempt, bool next);
    // The files named as continuations of this set when volume 0 carries
    // no sound first record (a damaged set): each that starts with one,
    // unless another first volume in the folder, whose continuations bear
    // the same names, has its creation time.
    std::vector<std::string> ContinuationsByName();
    int CheckCommittedVolumes(uint32_t last);
    bool ShortPieceOfOurs(const std::string& path) const;
    void CountChunk();
    int StartNextVolume();
    int CreateVolumeFile(uint32_t index);
    int CreateAttempt(const std::string& path, bool removable, bool notices);
    bool DeleteOlderSet(const std::string& path);
    bool ClearWayFor(const std::string& path, uint32_t media);
    bool TryCreate(const std::string& path);

    StoreContainer& set_;
    uint64_t volumeLimit_ = 0x7fffffff;

    // The volume at hand.
    std::unique_ptr<VolumeFile> file_;
    bool fileWritable_ = false;
    bool fileCreatedNow_ = false; // made by this object
    uint32_t volIndex_ = 0;
    uint32_t volFirstChunk_ = 0;
    uint32_t volChunks_ = 0;

    uint32_t volumeCount_ = 1;
    VolumeTable table_;
    VolumeTable committed_; // the volume table as the directory gave it

    // Media: one volume each unless a folder holds two members; the answer
    // to deleting an older set in the way holds for the session.
    bool oneVolumePerMedium_ = true;
    bool askBeforeDelete_ = true;
    bool deleteOlderSets_ = false;

    std::unique_ptr<VolumeFile> lock_;   // volume 0, locked while writing
    std::vector<std::string> created_;   // volume files made by this object
    std::vector<std::string> fragments_; // later volumes left by a write that stopped
};

// The first record of a file, parsed (and its bytes, when `bytes` is given);
// false when the file has no valid one.
bool ReadFirstRecord(const std::string& path, ChunkRecord* record, uint8_t* bytes = nullptr);

} // namespace kwv
