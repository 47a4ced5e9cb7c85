// An ext2 volume through libext2fs: opened read-only, its features checked,
// its block bitmap and bad-block inode turned into the engine's maps.
#include "engine/ext2/ext2_filesystem.h"

#include "engine/disk/kwlib.h"
#include "engine/ext2/ext2_channel.h"
#include "include/kwbytes.h"

#include <ext2fs/ext2fs.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr kwRet kNotOpen = 725;

// Library code offsets from EXT2_ET_BASE and the engine codes they become.
struct ErrorPair {
    uint8_t offset;
    uint16_t engine;
};
constexpr ErrorPair kErrors[] = {
    {1, 1102},  {2, 1102},  {3, 1102},  {4, 1102},  {5, 1102},  {6, 1102},  {7, 1102},  {8, 1102},
    {9, 1102},  {10, 1102}, {11, 1102}, {12, 1102}, {13, 1102}, {14, 1102}, {15, 1102}, {19, 1103},
    {20, 510},  {21, 1104}, {22, 1105}, {23, 1106}, {24, 1107}, {25, 1107}, {26, 1107}, {27, 1106},
    {28, 1105}, {29, 1106}, {30, 1105}, {31, 1106}, {32, 1105}, {33, 1105}, {34, 1108}, {35, 1109},
    {38, 1110}, {41, 1111}, {42, 1112}, {44, 1113}, {45, 1112}, {46, 1112}, {47, 1112}, {48, 1111},
    {49, 1111}, {50, 1111}, {53, 1114}, {54, 1114}, {55, 1114}, {59, 1115}, {60, 1116}, {64, 1117},
    {67, 510},  {68, 510},  {70, 3},    {71, 4},    {72, 1120}, {73, 1121}, {74, 1122}, {76, 504},
    {77, 1124}, {78, 1125}, {79, 1126}, {81, 7},    {80, 1101},
};

// Feature bits the engine reads: a volume with any other is refused.
constexpr uint32_t kCompatKnown = EXT2_FEATURE_COMPAT_DIR_PREALLOC;
constexpr uint32_t kIncompatKnown = EXT2_FEATURE_INCOMPAT_FILETYPE;
constexpr uint32_t kRoCompatKnown =
    EXT2_FEATURE_RO_COMPAT_SPARSE_SUPER | EXT2_FEATURE_RO_COMPAT_LARGE_FILE;

bool FeaturesKnown(const ext2_super_block* s) {
    return (s->s_feature_compat & ~kCompatKnown) == 0 &&
           (s->s_feature_incompat & ~kIncompatKnown) == 0 &&
           (s->s_feature_ro_compat & ~kRoCompatKnown) == 0;
}

// The geometry the library trusts when it reads the bitmaps: the first data
// block where ext2 puts it, whole bitmap bytes per group, each group's bitmap
// within one block.
bool GeometrySound(const ext2_super_block* s, unsigned blockSize) {
    const uint32_t perGroup = s->s_blocks_per_group;
    return s->s_first_data_block == (blockSize == 1024 ? 1u : 0u) && perGroup >= 8 &&
           perGroup % 8 == 0 && perGroup <= 8 * blockSize &&
           ext2fs_blocks_count(const_cast<ext2_super_block*>(s)) > s->s_first_data_block;
}

// An engine path ("\dir\file") as the library's ("/dir/file").
std::string LibraryPath(const char* path) {
    std::string out = path;
    for (char& c : out)
        c = c == '\\' ? '/' : c;
    return out;
}

} // namespace

kwRet MapExt2Error(long code) {
    if (code < EXT2_ET_BASE)
        return kwRet(code);
    for (const ErrorPair& pair : kErrors) {
        if (code == EXT2_ET_BASE + pair.offset)
            return pair.engine;
    }
    return ERR_EXT2_MISC;
}

EXT2_FILESYSTEM::~EXT2_FILESYSTEM() {
    Uninit();
    if (volume_ != nullptr) // a close that failed: the handle is freed all the same
        ext2fs_free(volume_);
}

kwRet EXT2_FILESYSTEM::open(bool writable) {
    kw::ext2::ChannelName name(this);
    ext2_filsys fs = nullptr;
    int flags = EXT2_FLAG_64BITS | (writable ? EXT2_FLAG_RW : 0);
    errcode_t rc = ext2fs_open(name.c_str(), flags, 0, 0, kw::ext2::KwIoManager(), &fs);
    if (rc == 0 && !FeaturesKnown(fs->super))
        rc = EXT2_ET_UNSUPP_FEATURE;
    if (rc == 0 && (fs->blocksize < 1024 || fs->blocksize % 512 != 0 ||
                    !GeometrySound(fs->super, fs->blocksize)))
        rc = EXT2_ET_CORRUPT_SUPERBLOCK;
    if (rc != 0) {
        if (fs != nullptr)
            ext2fs_free(fs);
        return MapExt2Error(rc);
    }
    // A volume that claims more blocks than its partition holds is damaged
    // (or cut short): refused, so it is copied whole rather than misread.
    const uint32_t perBlock = fs->blocksize / 512;
    const blk64_t blocks = ext2fs_blocks_count(fs->super);
    if (blocks > GetPI()->NumSects / perBlock) {
        ext2fs_free(fs);
        return MapExt2Error(EXT2_ET_CORRUPT_SUPERBLOCK);
    }
    volume_ = fs;
    writable_ = writable;
    sectorsPerBlock_ = perBlock;
    blockCount_ = uint32_t(blocks);
    return KW_OK;
}

kwRet EXT2_FILESYSTEM::Init() {
    return IsOpen() ? KW_OK : open(false);
}

kwRet EXT2_FILESYSTEM::Uninit() {
    if (!IsOpen())
        return KW_OK;
    // Read-only: nothing to write back, only the handle to free.
    errcode_t rc = writable_ ? ext2fs_close(volume_) : 0;
    if (rc != 0)
        return MapExt2Error(rc);
    ext2fs_free(volume_);
    volume_ = nullptr;
    writable_ = false;
    return KW_OK;
}

uint32_t EXT2_FILESYSTEM::FreeBlocks() const {
    if (!IsOpen())
        return 0;
    blk64_t free = ext2fs_free_blocks_count(volume_->super);
    return free < blockCount_ ? uint32_t(free) : blockCount_;
}

kwRet EXT2_FILESYSTEM::GenerateBitmap(STATE_MAP** map, uint32_t flags) {
    if (map == nullptr)
        return ERR_BAD_POINTER;
    if (!IsOpen()) // refused or unread: every sector is copied
        return FILESYSTEM::GenerateBitmap(map, flags);
    errcode_t rc = ext2fs_read_block_bitmap(volume_);
    ext2_badblocks_list bad = nullptr;
    if (rc == 0)
        rc = ext2fs_read_bb_inode(volume_, &bad);
    auto* made = rc == 0 ? new (std::nothrow) STATE_MAP : nullptr;
    if (rc == 0 && (made == nullptr || made->Create(blockCount_, false) != KW_OK))
        rc = EXT2_ET_NO_MEMORY;
    const blk64_t first = volume_->super->s_first_data_block;
    std::vector<unsigned char> bits(4096);
    for (blk64_t at = first; rc == 0 && at < blockCount_; at += bits.size() * 8) {
        size_t n = std::min<blk64_t>(bits.size() * 8, blockCount_ - at);
        rc = ext2fs_get_block_bitmap_range2(volume_->block_map, at, n, bits.data());
        for (size_t i = 0; rc == 0 && i < n; ++i) {
            if ((bits[i / 8] >> (i % 8)) & 1)
                made->SetBit(uint32_t(at + i));
        }
    }
    ext2_badblocks_iterate walk = nullptr;
    if (rc == 0 && bad != nullptr && ext2fs_badblocks_list_iterate_begin(bad, &walk) == 0) {
        blk_t block = 0;
        while (ext2fs_badblocks_list_iterate(walk, &block))
            made->ClearBit(block);
        ext2fs_badblocks_list_iterate_end(walk);
    }
    if (bad != nullptr)
        ext2fs_badblocks_list_free(bad);
    if (rc != 0) {
        delete made;
        return MapExt2Error(rc);
    }
    made->SetBit(0); // the boot block is always kept
    made->ulUnitsPerBit = sectorsPerBlock_;
    made->ulUnitCount = blockCount_;
    made->ulLastUsed = made->LastSet();
    made->ulMinEnd = made->ulLastUsed;
    delete *map;
    *map = made;
    return KW_OK;
}

kwRet EXT2_FILESYSTEM::PrepareBadSectors(STATE_MAP** map, SECT_LIST* /*list*/,
                                         PARTITION_INFO* /*target*/) {
    return GenerateBitmap(map, FS_MAP_METADATA | FS_MAP_FILE_DATA);
}

kwRet EXT2_FILESYSTEM::GetBadSectors(SECT_LIST* list) {
    if (list == nullptr)
        return ERR_BAD_POINTER;
    if (!IsOpen())
        return kNotOpen;
    ext2_badblocks_list bad = nullptr;
    errcode_t rc = ext2fs_read_bb_inode(volume_, &bad);
    ext2_badblocks_iterate walk = nullptr;
    kwRet added = KW_OK;
    if (rc == 0 && bad != nullptr && ext2fs_badblocks_list_iterate_begin(bad, &walk) == 0) {
        blk_t block = 0;
        while (added == KW_OK && ext2fs_badblocks_list_iterate(walk, &block)) {
            if (block < blockCount_)
                added = list->AddRange(block * sectorsPerBlock_, sectorsPerBlock_);
        }
        ext2fs_badblocks_list_iterate_end(walk);
    }
    if (bad != nullptr)
        ext2fs_badblocks_list_free(bad);
    return rc != 0 ? MapExt2Error(rc) : added;
}

// Replaces the bad-block inode's blocks by those holding the list's
// partition-relative sectors (none for an empty or absent list). The
// volume is reopened for writing for this, and Uninit writes it back.
kwRet EXT2_FILESYSTEM::writeBadBlocks(SECT_LIST* list) {
    if (!IsOpen())
        return kNotOpen;
    if (!writable_) {
        kwRet reopened = Uninit();
        if (reopened == KW_OK)
            reopened = open(true);
        if (reopened != KW_OK)
            return reopened;
    }
    ext2_badblocks_list bad = nullptr;
    uint32_t n = list != nullptr ? list->GetCount() : 0;
    errcode_t rc = ext2fs_badblocks_list_create(&bad, int(n / sectorsPerBlock_ + 1));
    for (uint32_t i = 0; rc == 0 && i < n; ++i) {
        uint32_t block = list->GetAt(i) / sectorsPerBlock_;
        if (block < blockCount_ && block >= volume_->super->s_first_data_block)
            rc = ext2fs_badblocks_list_add(bad, block);
    }
    if (rc == 0)
        rc = ext2fs_read_bitmaps(volume_);
    if (rc == 0)
        rc = ext2fs_update_bb_inode(volume_, bad);
    if (bad != nullptr)
        ext2fs_badblocks_list_free(bad);
    return MapExt2Error(rc);
}

kwRet EXT2_FILESYSTEM::AddBadSectors(SECT_LIST* list) {
    return list == nullptr ? KW_OK : writeBadBlocks(list);
}

kwRet EXT2_FILESYSTEM::ClearBadSectors() {
    return writeBadBlocks(nullptr);
}

kwRet EXT2_FILESYSTEM::SetBadSectors(SECT_LIST* list) {
    if (!IsOpen())
        return kNotOpen;
    if (list == nullptr)
        return ClearBadSectors();
    uint32_t start = GetPI()->ulStartSect;
    for (uint32_t i = 0; i < list->GetCount(); ++i)
        list->GetArray()[i] -= start;
    return writeBadBlocks(list);
}

namespace {

// The runs a block walk collects: one per data block below the file's end,
// in file order; holes are never visited.
struct RunList {
    SECTOR_RUN* first = nullptr;
    SECTOR_RUN* last = nullptr;
    uint64_t fileBlocks = 0;
    uint32_t blockCount = 0;
    uint32_t sectorsPerBlock = 0;
    bool failed = false;
};

int AddRun(ext2_filsys, blk64_t* block, e2_blkcnt_t index, blk64_t, int, void* data) {
    auto* list = static_cast<RunList*>(data);
    if (index < 0 || uint64_t(index) >= list->fileBlocks)
        return 0;
    auto* run = *block < list->blockCount ? new SECTOR_RUN : nullptr; // null: no memory
    if (run == nullptr) {
        list->failed = true;
        return BLOCK_ABORT;
    }
    run->firstSector = uint32_t(*block) * list->sectorsPerBlock;
    run->sectorCount = list->sectorsPerBlock;
    run->previous = list->last;
    (list->last != nullptr ? list->last->next : list->first) = run;
    list->last = run;
    return 0;
}

} // namespace

SECTOR_RUN* EXT2_FILESYSTEM::ListClusters(const char* path) {
    if (!IsOpen() || path == nullptr)
        return nullptr;
    ext2_ino_t ino = 0;
    ext2_inode inode{};
    std::string name = LibraryPath(path);
    if (ext2fs_namei(volume_, EXT2_ROOT_INO, EXT2_ROOT_INO, name.c_str(), &ino) != 0 ||
        ext2fs_read_inode(volume_, ino, &inode) != 0 || LINUX_S_ISDIR(inode.i_mode))
        return nullptr;
    RunList list;
    list.fileBlocks = (EXT2_I_SIZE(&inode) + volume_->blocksize - 1) / volume_->blocksize;
    list.blockCount = blockCount_;
    list.sectorsPerBlock = sectorsPerBlock_;
    errcode_t rc = ext2fs_block_iterate3(volume_, ino, BLOCK_FLAG_DATA_ONLY | BLOCK_FLAG_READ_ONLY,
                                         nullptr, AddRun, &list);
    if (rc != 0 || list.failed) {
        FreeSectorRuns(list.first);
        return nullptr;
    }
    return list.first;
}

kwRet EXT2_FILESYSTEM::GetVolumeLabel(char* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_POINTER;
    if (!IsOpen())
        return ext2GetVolumeLabel(GetPI(), buffer);
    std::memcpy(buffer, volume_->super->s_volume_name, 16);
    buffer[16] = '\0';
    return KW_OK;
}

namespace {

// Runs `use` on the partition's ext2 file system, opened for the call.
template <class Use> kwRet WithExt2(PARTITION_INFO* pi, Use use) {
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_EXT2);
    if (rc != KW_OK)
        return rc;
    auto* ext2 = dynamic_cast<EXT2_FILESYSTEM*>(fs);
    rc = ext2 == nullptr ? ERR_FS_NOT_SUPPORTED : use(ext2);
    CloseFileSystem(&fs);
    return rc;
}

} // namespace

kwRet ext2GetVolumeLabel(PARTITION_INFO* pi, char* buffer) {
    if (pi == nullptr || buffer == nullptr)
        return ERR_BAD_POINTER;
    buffer[0] = '\0';
    return WithExt2(pi, [&](EXT2_FILESYSTEM* fs) {
        uint8_t sector[512];
        kwRet rc = fs->ReadSectors(2, sector, 1);
        if (rc != KW_OK)
            return rc;
        if (kwbytes::LoadLe16(sector + 56) != EXT2_SUPER_MAGIC)
            return ERR_BAD_BOOT_SECTOR;
        std::memcpy(buffer, sector + 120, 16);
        buffer[16] = '\0';
        for (size_t n = std::strlen(buffer); n > 0 && buffer[n - 1] == ' '; --n)
            buffer[n - 1] = '\0';
        return KW_OK;
    });
}

kwRet ext2EstimateFreeSects(PARTITION_INFO* pi, uint32_t* freeSects) {
    if (pi == nullptr || freeSects == nullptr)
        return ERR_BAD_POINTER;
    *freeSects = 0;
    return WithExt2(pi, [&](EXT2_FILESYSTEM* fs) {
        bool openedHere = !fs->IsOpen();
        kwRet rc = fs->Init();
        if (rc != KW_OK)
            return rc;
        *freeSects = fs->FreeBlocks() * fs->SectorsPerBlock();
        return openedHere ? fs->Uninit() : KW_OK;
    });
}
