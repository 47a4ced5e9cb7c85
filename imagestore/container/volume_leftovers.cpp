// VolumeSet: what a write that stopped left after the set's end (volumes and
// chunks that no directory references), cut before an append writes, and
// the volumes an append or a new set made, taken back when it fails.
#include "imagestore/container/volume_set.h"

#include "imagestore/container/store_container.h"
#include "imagestore/container/volume_names.h"
#include "imagestore/store_error.h"
#include "imagestore/store_log.h"
#include "include/kwbytes.h"

#include <algorithm>

namespace kwv {

// Every volume before the set's last one that its directory references is
// there and whole: its first record is this set's and it holds the chunks
// the volume table gives it. Else nothing after the set's end is cut (1810).
int VolumeSet::CheckCommittedVolumes(uint32_t last) {
    if (Removable(set_.path_)) {
        return kStoreOk; // the other volumes are on other media
    }
    const ChunkRecord& header = set_.header_;
    for (uint32_t i = 0; i < last; ++i) {
        const uint32_t first = i == 0 ? 0 : committed_.Entry(i - 1);
        const uint32_t count = committed_.Entry(i) - first;
        ChunkRecord r;
        uint8_t bytes[kRecordSize];
        uint64_t size = 0;
        const std::string file = MemberPath(i);
        if (!ReadFirstRecord(file, &r, bytes) || r.creationTime != header.creationTime ||
            CheckAgainstHeader(bytes, set_.headerBytes_) != kStoreOk || r.chunkNumber != first ||
            !volfiles::FileSize(file, &size) || size / header.storedChunkSize < count) {
            StoreLog("%s: volume %u is missing or cut short; the append is refused",
                     set_.path_.c_str(), i + 1);
            return kStoreCannotOpen;
        }
    }
    return kStoreOk;
}

// Volumes after the set's last one hold what an append that stopped left:
// chunks after the committed end that no directory references. The next
// append cuts them when it writes (CutLeftovers): those whose first record
// is this set's, and, in the run of names that follows the last volume,
// those whose first record is torn, when chunk 0 says an append was under
// way or the file is a piece of one of this set's records. Any other file
// stays where it is.
int VolumeSet::NoteTrailingVolumes(uint32_t last, uint32_t chunkCount, bool appendStopped) {
    fragments_.clear();
    if (int err = CheckCommittedVolumes(last); err != kStoreOk) {
        return err;
    }
    const std::string folder(FolderOf(set_.path_));
    const std::string name0(NameOf(set_.path_));
    std::vector<std::pair<uint32_t, std::string>> named;
    for (const std::string& name : volfiles::ListFiles(folder)) {
        const int index = VolumeIndexOfName(name, name0);
        if (index > int(last)) {
            named.emplace_back(uint32_t(index), folder + name);
        }
    }
    std::sort(named.begin(), named.end());
    uint32_t run = last + 1; // the next index of the unbroken run of leftovers
    for (const auto& [index, file] : named) {
        ChunkRecord r;
        uint8_t bytes[kRecordSize];
        bool ours = false;
        if (ReadFirstRecord(file, &r, bytes)) {
            const bool member = r.creationTime == set_.header_.creationTime &&
                                CheckAgainstHeader(bytes, set_.headerBytes_) == kStoreOk;
            // Whole chunks are cut only when chunk 0 shows an append under
            // way: else they may belong to a last volume that is missing.
            const bool whole = HoldsWholeChunk(file);
            ours = member && (!whole || (appendStopped && r.chunkNumber >= chunkCount));
            if (member && !ours) {
                return kStoreCannotOpen;
            }
        } else {
            ours = index == run && (appendStopped || ShortPieceOfOurs(file));
        }
        if (ours) {
            fragments_.push_back(file);
            run = index == run ? run + 1 : run;
        }
    }
    return kStoreOk;
}

// True for a file smaller than a record whose bytes agree with the start of
// a record of this set (an empty file included).
bool VolumeSet::ShortPieceOfOurs(const std::string& path) const {
    uint64_t size = 0;
    if (!volfiles::FileSize(path, &size) || size >= kRecordSize) {
        return false;
    }
    OpenFailure why = OpenFailure::None;
    std::unique_ptr<VolumeFile> f = volfiles::OpenRead(path, &why);
    uint8_t bytes[kRecordSize] = {};
    uint32_t done = 0;
    if (!f || !f->ReadAt(0, bytes, uint32_t(size), &done) || done != size) {
        return false;
    }
    uint8_t magic[4];
    kwbytes::StoreLe32(magic, kMagicChunk);
    for (uint32_t i = 0; i < done; ++i) {
        const bool shared = i >= kSharedFrom && i < kSharedTo;
        if ((i < 4 && bytes[i] != magic[i]) || (shared && bytes[i] != set_.headerBytes_[i])) {
            return false;
        }
    }
    return true;
}

int VolumeSet::CutLeftovers(uint32_t lastChunk) {
    const std::string& path0 = set_.path_;
    if (!fragments_.empty()) {
        while (!fragments_.empty()) {
            if (volfiles::Exists(fragments_.back()) && !volfiles::Delete(fragments_.back())) {
                return kStoreMediaFailure;
            }
            StoreLog("%s: %s, left by a write that stopped, is cut", path0.c_str(),
                     fragments_.back().c_str());
            fragments_.pop_back();
        }
        if (!volfiles::SyncFolderOf(path0)) {
            return kStoreMediaFailure;
        }
    }
    // Chunks past the set's last one (left by a write that stopped) go.
    const uint64_t keep = uint64_t(volChunks_) * set_.header_.storedChunkSize;
    uint64_t size = 0;
    if (file_ && file_->GetSize(&size) && size > keep) {
        StoreLog("%s: %llu bytes after chunk %u, left by a write that stopped, are cut",
                 path0.c_str(), (unsigned long long)(size - keep), lastChunk);
    }
    if (file_ && !file_->SetSize(keep)) {
        return kStoreMediaFailure;
    }
    return kStoreOk;
}

int VolumeSet::TakeBack(uint32_t last, uint32_t chunks) {
    Close();
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
        if (volfiles::Exists(*it) && !volfiles::Delete(*it)) {
            return kStoreMediaFailure;
        }
    }
    // Volumes that came back after a power loss would hold whole chunks.
    if (!created_.empty() && !volfiles::SyncFolderOf(set_.path_)) {
        return kStoreMediaFailure;
    }
    created_.clear();
    const uint64_t keep = uint64_t(chunks) * set_.header_.storedChunkSize;
    const std::string file = MemberPath(last);
    uint64_t size = 0;
    if (!volfiles::FileSize(file, &size)) {
        return kStoreMediaFailure;
    }
    if (size != keep) {
        OpenFailure why = OpenFailure::None;
        std::unique_ptr<VolumeFile> f = volfiles::OpenUpdate(file, &why);
        if (!f || !f->SetSize(keep) || !f->Flush()) {
            return kStoreMediaFailure;
        }
    }
    return kStoreOk;
}

void VolumeSet::RemoveCreated() {
    Close();
    for (const std::string& file : created_) {
        volfiles::Delete(file);
    }
    created_.clear();
}

} // namespace kwv
