// NTFS_FILESYSTEM: creating and deleting files and folders, and the index
// store through which the B-tree of ntfs_index.h reaches a folder's
// $INDEX_ROOT, $INDEX_ALLOCATION and $BITMAP.
//
// The order of the writes keeps every cut between two of them sound: a new
// record is marked in the $MFT bitmap and written before its folder's index
// names it; a deleted one leaves its folder's index first, then its record
// goes, then its bits. Clusters and index buffers are taken before anything
// refers to them and given back after nothing does. The disk is flushed
// between the steps that depend on each other and at the end.
#include "engine/core/codepage.h"
#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_attribute.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "engine/ntfs/ntfs_index.h"
#include "engine/ntfs/ntfs_names.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "engine/ntfs/ntfs_templates.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <string>

using namespace kw::ntfs;
using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::StoreLe16;
using kwbytes::StoreLe32;
using kwbytes::StoreLe64;

namespace {

constexpr uint64_t kFirstUserRecord = 16;
const uint8_t kI30[8] = {'$', 0, 'I', 0, '3', 0, '0', 0};
// Room kept in a folder's record for the $INDEX_ALLOCATION and $BITMAP its
// first index buffer adds, and for a run list that grows by a run or two.
constexpr uint32_t kFirstBufferReserve = 144;
constexpr uint32_t kRunReserve = 24;

Bytes I30() {
    return Bytes(kI30, sizeof kI30);
}

// The index of one folder as the B-tree sees it: the root value in the
// folder's record, buffers in its $INDEX_ALLOCATION, their bits in $BITMAP.
class VOLUME_INDEX_STORE : public INDEX_STORE {
public:
    VOLUME_INDEX_STORE(NTFS_FILESYSTEM* fs, uint64_t folder) : fs_(fs), folder_(folder) {}

    kwRet Open() {
        std::vector<uint8_t> root;
        kwRet rc = ReadRoot(&root);
        if (rc != KW_OK)
            return rc;
        const Geometry& g = fs_->GetGeometry();
        size_ = root.size() >= 12 ? LoadLe32(root.data() + 8) : 0;
        if (size_ < 512 || size_ > 65536 || (size_ & (size_ - 1)) != 0)
            return ERR_INDEX_BUFFER_SIZE;
        unit_ = size_ < g.bytesPerCluster ? 512 : g.bytesPerCluster;
        return KW_OK;
    }
    uint32_t BufferSize() const override { return size_; }
    kwRet ReadRoot(std::vector<uint8_t>* value) override {
        NTFS_STREAM s;
        kwRet rc = fs_->LoadStream(folder_, ATTR_INDEX_ROOT, I30(), &s);
        if (rc == KW_OK && s.nonResident)
            rc = ERR_MUST_BE_RESIDENT;
        if (rc == KW_OK)
            *value = std::move(s.value);
        return rc;
    }
    uint32_t RootRoom() override {
        std::vector<uint8_t> r;
        if (fs_->ReadRecordForChange(folder_, &r) != KW_OK)
            return 0;
        uint32_t at = FindAttribute(r, ATTR_INDEX_ROOT, I30());
        if (at == 0)
            return 0;
        bool allocation = FindAttribute(r, ATTR_INDEX_ALLOCATION, I30()) != 0;
        int64_t room = static_cast<int64_t>(r.size()) - LoadLe32(r.data() + FRS_BYTES_IN_USE) +
                       LoadLe32(r.data() + at + AR_LENGTH) - 24 - sizeof kI30 -
                       (allocation ? kRunReserve : kFirstBufferReserve);
        return room > 0 ? static_cast<uint32_t>(room) & ~7u : 0;
    }
    kwRet WriteRoot(const std::vector<uint8_t>& value, const std::vector<uint64_t>& taken,
                    const std::vector<uint64_t>& given) override;
    kwRet ReadBuffer(uint64_t vcn, std::vector<uint8_t>* bytes) override {
        NTFS_STREAM s;
        kwRet rc = fs_->LoadStream(folder_, ATTR_INDEX_ALLOCATION, I30(), &s);
        if (rc == ERR_ATTRIBUTE_MISSING)
            return ERR_NO_INDEX_ALLOCATION;
        bytes->resize(size_);
        return rc == KW_OK ? fs_->ReadStream(s, vcn * unit_, bytes->data(), size_) : rc;
    }
    kwRet WriteBuffer(uint64_t vcn, const std::vector<uint8_t>& bytes) override {
        NTFS_STREAM s;
        kwRet rc = fs_->LoadStream(folder_, ATTR_INDEX_ALLOCATION, I30(), &s);
        fs_->ForgetIndexBuffers(folder_);
        return rc == KW_OK ? fs_->WriteStream(s, vcn * unit_, bytes.data(), bytes.size()) : rc;
    }
    kwRet AllocateBuffer(uint64_t* vcn) override;
    kwRet Flush() override { return fs_->FlushVolume(); }

private:
    kwRet readBits(std::vector<uint8_t>* map, bool* present);
    kwRet makeAllocation();

    NTFS_FILESYSTEM* fs_;
    uint64_t folder_;
    uint32_t size_ = 0;
    uint64_t unit_ = 512;
    std::vector<uint64_t> pending_; // handed out, not yet marked
};

// The index's bitmap; empty when there is none yet.
kwRet VOLUME_INDEX_STORE::readBits(std::vector<uint8_t>* map, bool* present) {
    NTFS_STREAM s;
    kwRet rc = fs_->LoadStream(folder_, ATTR_BITMAP, I30(), &s);
    *present = rc == KW_OK;
    map->clear();
    if (rc == ERR_ATTRIBUTE_MISSING)
        return KW_OK;
    if (rc == KW_OK && s.nonResident)
        rc = ERR_MUST_BE_RESIDENT; // such an index is left alone
    if (rc == KW_OK)
        *map = std::move(s.value);
    return rc;
}

// The first buffer: an empty $BITMAP first, then $INDEX_ALLOCATION, so that
// no state on disk has an allocation without its bitmap.
kwRet VOLUME_INDEX_STORE::makeAllocation() {
    static const uint8_t kEmptyBits[8] = {};
    std::vector<uint8_t> r;
    kwRet rc = fs_->ReadRecordForChange(folder_, &r);
    if (rc != KW_OK || FindAttribute(r, ATTR_BITMAP, I30()) != 0)
        return rc;
    uint32_t at = 0;
    rc = InsertAttribute(r, ResidentAttribute(ATTR_BITMAP, I30(), Bytes(kEmptyBits, 8)), &at);
    if (rc == KW_OK)
        rc = fs_->WriteRecord(folder_, r);
    return rc == KW_OK ? fs_->FlushVolume() : rc;
}

// The first buffer neither marked nor handed out; the allocation grows by
// whole clusters (in one piece when it can) when the buffer lies past it,
// marked in $Bitmap on disk before the record refers to them.
kwRet VOLUME_INDEX_STORE::AllocateBuffer(uint64_t* vcn) {
    std::vector<uint8_t> map;
    bool present = false;
    kwRet rc = readBits(&map, &present);
    NTFS_ATTRIBUTE allocation(fs_);
    if (rc == KW_OK && !present)
        rc = makeAllocation();
    if (rc == KW_OK)
        rc = allocation.Open(folder_, ATTR_INDEX_ALLOCATION, I30(), true, true);
    if (rc != KW_OK)
        return rc;
    uint64_t n = 0;
    auto busy = [&](uint64_t b) {
        bool marked = b / 8 < map.size() && (map[b / 8] & (1u << (b % 8)));
        const uint64_t vcn = b * size_ / unit_;
        return marked || fs_->BufferUnsettled(folder_, vcn) ||
               std::find(pending_.begin(), pending_.end(), vcn) != pending_.end();
    };
    while (busy(n))
        ++n;
    const uint64_t cluster = fs_->GetGeometry().bytesPerCluster;
    const uint64_t need = (n + 1) * size_;
    const uint64_t have = allocation.ClusterCount() * cluster;
    const uint64_t more = have < need ? (need - have + cluster - 1) / cluster : 0;
    if (more > 0) {
        rc = allocation.AllocateClusters(more, true);
        if (rc == ERR_PARTITION_FULL) // no stretch long enough: in pieces then
            rc = allocation.AllocateClusters(more);
        if (rc == KW_OK)
            rc = fs_->WriteVolumeBitmap();
        if (rc == KW_OK)
            rc = fs_->FlushVolume();
    }
    if (rc == KW_OK && allocation.Stream().dataSize < need) {
        rc = allocation.SetSizes(need, ~uint64_t{0}, need);
        if (rc == KW_OK)
            rc = allocation.Store();
    }
    if (rc != KW_OK)
        return rc;
    *vcn = n * size_ / unit_;
    pending_.push_back(*vcn);
    return KW_OK;
}

kwRet VOLUME_INDEX_STORE::WriteRoot(const std::vector<uint8_t>& value,
                                    const std::vector<uint64_t>& taken,
                                    const std::vector<uint64_t>& given) {
    std::vector<uint8_t> r;
    kwRet rc = fs_->ReadRecordForChange(folder_, &r);
    if (rc != KW_OK)
        return rc;
    uint32_t at = FindAttribute(r, ATTR_INDEX_ROOT, I30());
    rc = at != 0 ? SetResidentValue(r, at, value) : ERR_ATTRIBUTE_MISSING;
    if (rc == KW_OK && (!taken.empty() || !given.empty())) {
        at = FindAttribute(r, ATTR_BITMAP, I30());
        if (at == 0 || r[at + AR_NON_RESIDENT] != 0)
            return ERR_ATTRIBUTE_MISSING;
        const uint8_t* v = r.data() + at + LoadLe16(r.data() + at + AR_VALUE_OFFSET);
        std::vector<uint8_t> map(v, v + LoadLe32(r.data() + at + AR_VALUE_LENGTH));
        for (uint64_t vcn : taken) {
            uint64_t n = vcn * unit_ / size_;
            if (n / 8 >= map.size())
                map.resize((n / 64 + 1) * 8, 0);
            map[n / 8] |= static_cast<uint8_t>(1u << (n % 8));
        }
        for (uint64_t vcn : given) {
            uint64_t n = vcn * unit_ / size_;
            if (n / 8 < map.size())
                map[n / 8] &= static_cast<uint8_t>(~(1u << (n % 8)));
        }
        rc = SetResidentValue(r, at, map);
    }
    if (rc == KW_OK)
        rc = fs_->WriteRecord(folder_, r);
    if (rc == KW_OK)
        fs_->NoteBuffersGiven(folder_, given);
    pending_.clear();
    fs_->ForgetIndexBuffers(folder_);
    return rc;
}

// An empty index of file names: the root value with only its end entry.
std::vector<uint8_t> EmptyIndexRoot(const Geometry& g) {
    uint32_t size = g.bytesPerIndexBuffer != 0 ? g.bytesPerIndexBuffer : 4096;
    std::vector<uint8_t> v(48, 0);
    StoreLe32(v.data(), ATTR_FILE_NAME);
    StoreLe32(v.data() + 4, 1);
    StoreLe32(v.data() + 8, size);
    v[12] = static_cast<uint8_t>(size >= g.bytesPerCluster ? size / g.bytesPerCluster : size / 512);
    StoreLe32(v.data() + 16, 16);
    StoreLe32(v.data() + 20, 32);
    StoreLe32(v.data() + 24, 32);
    StoreLe16(v.data() + 32 + 8, 16);
    StoreLe16(v.data() + 32 + 12, ENTRY_LAST);
    return v;
}

} // namespace

NameOrder NTFS_FILESYSTEM::NameCollation() {
    return [this](Bytes a, Bytes b) {
        std::u16string s(a.size() / 2, u'\0');
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<char16_t>(kwbytes::LoadLe16(a, 2 * i));
        return compareNames(s, b);
    };
}

void NTFS_FILESYSTEM::ForgetIndexBuffers(uint64_t folder) {
    std::erase_if(indexCache_, [&](const IndexCacheEntry& e) { return e.record == folder; });
}

bool NTFS_FILESYSTEM::FindDirectory(const char* path) {
    uint64_t record = 0;
    RecordPtr r;
    return FindFile(path, &record, nullptr) == KW_OK && GetRecord(record, &r) == KW_OK &&
           r->header.IsDirectory();
}

kwRet NTFS_FILESYSTEM::CreateFile(const char* path, uint32_t attributes, uint64_t* record,
                                  uint64_t* parent) {
    return createEntry(path, attributes, false, record, parent);
}

kwRet NTFS_FILESYSTEM::CreateDirectory(const char* path, uint32_t attributes, uint64_t* record,
                                       uint64_t* parent) {
    return createEntry(path, attributes, true, record, parent);
}

// The new record's image from the template (standard information, its name
// in the folder, a security descriptor giving everyone access) with an empty
// $DATA, or for a folder an empty index and the folder bit in its name.
kwRet NTFS_FILESYSTEM::buildRecord(uint64_t number, uint64_t folderReference,
                                   const std::u16string& name, uint32_t attributes, bool folder,
                                   std::vector<uint8_t>* out) {
    std::vector<uint8_t>& r = *out;
    kwRet rc = NewRecordImage(number, FRS_IN_USE, &r);
    if (rc != KW_OK)
        return rc;
    std::vector<uint8_t> utf16(2 * name.size());
    for (size_t i = 0; i < name.size(); ++i)
        StoreLe16(utf16.data() + 2 * i, name[i]);
    TemplateRecord t;
    t.number = static_cast<uint32_t>(number);
    t.sequence = LoadLe16(r.data() + FRS_SEQUENCE);
    t.name = utf16;
    t.parentReference = folderReference;
    t.fileAttributes = attributes;
    t.nameSpace = IsUpperShortName(name) ? (NAMESPACE_WIN32 | NAMESPACE_DOS) : NAMESPACE_WIN32;
    rc = BuildTemplateRecord(r, t);
    uint32_t at = 0;
    if (rc == KW_OK && folder)
        rc = InsertAttribute(
            r, ResidentAttribute(ATTR_INDEX_ROOT, I30(), EmptyIndexRoot(geometry_)), &at);
    else if (rc == KW_OK)
        rc = InsertAttribute(r, ResidentAttribute(ATTR_DATA, {}, {}), &at);
    at = FindAttribute(r, ATTR_FILE_NAME, {});
    if (rc == KW_OK && at == 0)
        rc = ERR_ATTRIBUTE_MISSING;
    if (rc == KW_OK && folder) {
        uint8_t* value = r.data() + at + LoadLe16(r.data() + at + AR_VALUE_OFFSET);
        StoreLe32(value + 56, LoadLe32(value + 56) | FILE_ATTR_DIRECTORY_BIT);
    }
    return rc;
}

namespace {

// The $FILE_NAME value of a record image: the key of its index entry.
std::vector<uint8_t> NameKeyOf(const std::vector<uint8_t>& record) {
    uint32_t at = FindAttribute(record, ATTR_FILE_NAME, {});
    if (at == 0)
        return {};
    const uint8_t* a = record.data() + at;
    const uint8_t* value = a + LoadLe16(a + AR_VALUE_OFFSET);
    return std::vector<uint8_t>(value, value + LoadLe32(a + AR_VALUE_LENGTH));
}

} // namespace

kwRet NTFS_FILESYSTEM::CreateFileForWriting(const char* path, NTFS_FILE_HANDLE** handle) {
    if (handle == nullptr)
        return ERR_BAD_ARGUMENT;
    *handle = nullptr;
    uint64_t record = 0;
    kwRet rc = createEntry(path, 0, false, &record, nullptr, false);
    if (rc == KW_OK)
        rc = openRecord(record, true, handle);
    if (rc == KW_OK)
        (*handle)->written = true; // its close makes the new file durable
    kwRet flushed = rc != KW_OK ? FlushVolume() : KW_OK;
    return rc != KW_OK ? rc : flushed;
}

// The new record is written and named in its folder's index; with durable
// the name is flushed too, else the caller flushes before it reports success.
kwRet NTFS_FILESYSTEM::createEntry(const char* path, uint32_t attributes, bool folder,
                                   uint64_t* record, uint64_t* parent, bool durable) {
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    if (path == nullptr)
        return ERR_BAD_ARGUMENT;
    const char* what = folder ? "CreateDirectory" : "CreateFile";
    uint64_t found = 0, up = 0;
    kwRet rc = FindFile(path, &found, &up);
    if (rc == KW_OK) {
        DbgPrintf("NTFS_FILESYSTEM::%s->ERROR: kwRet=%i, %s Entry FRS# %lu, Index FRS# %lu\n", what,
                  static_cast<int>(ERR_FILE_EXISTS), folder ? "Dir" : "File",
                  static_cast<unsigned long>(found), static_cast<unsigned long>(up));
        return ERR_FILE_EXISTS;
    }
    if (rc != ERR_FILE_NOT_FOUND)
        return rc;
    std::string folderPath, last;
    std::u16string name;
    rc = SplitLast(path, &folderPath, &last);
    if (rc == KW_OK && !NtfsName(last, &name))
        rc = ERR_INVALID_PATH;
    if (rc != KW_OK)
        return rc;
    uint64_t folderRecord = 0;
    RecordPtr folderBase;
    if (FindFile(folderPath.c_str(), &folderRecord, nullptr) != KW_OK ||
        GetRecord(folderRecord, &folderBase) != KW_OK || !folderBase->header.IsDirectory())
        return ERR_PATH_NOT_FOUND;
    rc = CheckWritable();
    if (rc != KW_OK)
        return rc;
    const uint32_t bufferClusters =
        (geometry_.bytesPerIndexBuffer + geometry_.bytesPerCluster - 1) / geometry_.bytesPerCluster;
    if (FreeClusterCount() < uint64_t{bufferClusters} + 2)
        return ERR_FILE_CREATE;
    const uint64_t folderReference = folderRecord | (uint64_t{folderBase->header.sequence} << 48);
    uint64_t n = 0;
    rc = AllocateFrs(false, &n);
    if (rc != KW_OK)
        return rc;
    std::vector<uint8_t> image;
    rc = buildRecord(n, folderReference, name, attributes, folder, &image);
    // The record and its bit need not reach the disk in order: nothing refers
    // to the record before its name's index switches, after a flush.
    if (rc == KW_OK)
        rc = WriteMftBitmap();
    if (rc == KW_OK)
        rc = WriteRecord(n, image);
    if (rc != KW_OK) {
        FreeFrs(n);
        WriteMftBitmap();
        return rc;
    }
    const uint64_t reference = n | (uint64_t{LoadLe16(image.data() + FRS_SEQUENCE)} << 48);
    rc = insertName(folderRecord, MakeIndexKey(reference, NameKeyOf(image)));
    if (rc != KW_OK) {
        DbgPrintf("NTFS_FILESYSTEM::%s->ERROR: kwRet=%i, %s Entry FRS# %lu, Index FRS# %lu\n", what,
                  static_cast<int>(rc), folder ? "Dir" : "File", static_cast<unsigned long>(n),
                  static_cast<unsigned long>(folderRecord));
        FreeFileRecord(n);
        return rc;
    }
    if (durable && (rc = FlushVolume()) != KW_OK)
        return rc;
    if (record != nullptr)
        *record = n;
    if (parent != nullptr)
        *parent = folderRecord;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::changeIndex(uint64_t folder,
                                   const std::function<kwRet(INDEX_BTREE&)>& change) {
    VOLUME_INDEX_STORE store(this, folder);
    kwRet rc = store.Open();
    if (rc != KW_OK)
        return rc;
    INDEX_BTREE tree(store, NameCollation());
    rc = change(tree);
    ForgetIndexBuffers(folder);
    return rc;
}

kwRet NTFS_FILESYSTEM::insertName(uint64_t folder, const IndexKey& key) {
    return changeIndex(folder, [&](INDEX_BTREE& tree) { return tree.Insert(key); });
}

kwRet NTFS_FILESYSTEM::deleteName(uint64_t folder, Bytes name) {
    return changeIndex(folder, [&](INDEX_BTREE& tree) { return tree.Delete(name); });
}

// Every name of the record leaves the index of the folder it names.
kwRet NTFS_FILESYSTEM::DeleteFrsFromIndexes(uint64_t number) {
    DbgPrintf("NTFS_FILESYSTEM::DeleteFrsFromIndexes: Start\n");
    RecordPtr r;
    kwRet rc = GetRecord(number, &r);
    std::vector<std::vector<uint8_t>> names;
    if (rc == KW_OK) {
        AttributeWalk walk(r->bytes, r->header);
        Attribute a;
        while (walk.Next(&a) == KW_OK) {
            if (a.type == ATTR_FILE_NAME && !a.nonResident && a.value.size() >= 66)
                names.emplace_back(a.value.begin(), a.value.end());
        }
    }
    bool named = false;
    for (const auto& value : names) {
        FileName f;
        if (rc != KW_OK || DecodeFileName(value, &f) != KW_OK)
            continue;
        kwRet one = deleteName(RecordNumber(f.parent), f.name);
        if (one == KW_OK)
            named = true;
        else if (one != ERR_FILE_NOT_FOUND)
            rc = one;
    }
    DbgPrintf("NTFS_FILESYSTEM::DeleteFrsFromIndexes: End\n");
    // The names are gone for good before anything frees the record.
    kwRet flushed = FlushVolume();
    if (rc == KW_OK)
        rc = flushed;
    return rc != KW_OK ? rc : (named ? KW_OK : ERR_FILE_NOT_FOUND);
}

kwRet NTFS_FILESYSTEM::DeleteFile(const char* path) {
    DbgPrintf("NTFS_FILESYSTEM::DeleteFile: Start\n");
    uint64_t number = 0;
    kwRet rc = path != nullptr ? FindFile(path, &number, nullptr) : ERR_BAD_ARGUMENT;
    if (rc == KW_OK && number < kFirstUserRecord)
        rc = ERR_INVALID_PATH; // the root and the system files stay
    RecordPtr r;
    if (rc == KW_OK)
        rc = GetRecord(number, &r);
    if (rc == KW_OK && r->header.IsDirectory()) {
        DIRLIST names;
        rc = ListFolder(number, 0, &names);
        if (rc == KW_OK && names.GetCount() != 0)
            rc = ERR_DIR_NOT_EMPTY;
    }
    if (rc == KW_OK)
        rc = CheckWritable();
    if (rc == KW_OK) {
        rc = DeleteFrsFromIndexes(number);
        if (rc == ERR_FILE_NOT_FOUND) {
            DbgPrintf("NTFS_FILESYSTEM::DeleteFile: No directories refer to FRS# %lu\n",
                      static_cast<unsigned long>(number));
            rc = KW_OK;
        }
    }
    if (rc == KW_OK)
        rc = FreeFileRecord(number);
    DbgPrintf("NTFS_FILESYSTEM::DeleteFile: End\n");
    return rc;
}

// The keys of the record's names in their folders' indexes take the
// record's own $FILE_NAME values, with the sizes of its unnamed $DATA.
kwRet NTFS_FILESYSTEM::UpdateNameEntries(uint64_t number) {
    RecordPtr r;
    kwRet rc = GetRecord(number, &r);
    if (rc != KW_OK)
        return rc;
    NTFS_STREAM data;
    const bool sized = LoadStream(number, ATTR_DATA, {}, &data) == KW_OK;
    const uint64_t reference = number | (uint64_t{r->header.sequence} << 48);
    AttributeWalk walk(r->bytes, r->header);
    Attribute a;
    std::vector<std::vector<uint8_t>> names;
    while (walk.Next(&a) == KW_OK) {
        if (a.type == ATTR_FILE_NAME && !a.nonResident && a.value.size() >= 66)
            names.emplace_back(a.value.begin(), a.value.end());
    }
    for (auto& value : names) {
        FileName f;
        if (DecodeFileName(value, &f) != KW_OK)
            continue;
        if (sized) {
            StoreLe64(value.data() + 40,
                      data.nonResident ? data.allocatedSize : (data.Size() + 7) / 8 * 8);
            StoreLe64(value.data() + 48, data.Size());
        }
        const uint64_t folder = RecordNumber(f.parent);
        VOLUME_INDEX_STORE store(this, folder);
        rc = store.Open();
        IndexKey now;
        INDEX_BTREE tree(store, NameCollation());
        if (rc == KW_OK)
            rc = tree.Find(f.name, &now);
        if (rc == KW_OK && now.key != value) // unchanged keys are not written again
            rc = tree.Update(MakeIndexKey(reference, value));
        ForgetIndexBuffers(folder);
        if (rc != KW_OK)
            return rc;
    }
    return FlushVolume();
}
