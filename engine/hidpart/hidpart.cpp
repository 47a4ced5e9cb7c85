// The hidden-partition provider: path grammar, partition lookup, the volume
// list and the path operations that need no open file.
#include "engine/hidpart/hidpart.h"

#include "engine/disk/kwlib.h"
#include "engine/fs/file_base.h"
#include "engine/fs/filesystem.h"
#include "engine/fs/fs_module.h"

#include <cstring>
#include <strings.h>

namespace kw::hidpart {

namespace {

constexpr char kPrefix[] = "\\\\.\\disk";
constexpr char kPart[] = ".part";

bool StartsNoCase(const std::string& s, size_t at, const char* word) {
    size_t n = std::strlen(word);
    if (s.size() - at < n || at > s.size())
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[at + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return true;
}

// A decimal number from 1 that fits in 32 bits; *at moves past it.
bool ParseNumber(const std::string& s, size_t* at, uint32_t* out) {
    uint64_t value = 0;
    size_t i = *at;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        value = value * 10 + static_cast<uint64_t>(s[i] - '0');
        if (value > UINT32_MAX)
            return false;
        ++i;
    }
    if (i == *at || value == 0)
        return false;
    *at = i;
    *out = static_cast<uint32_t>(value);
    return true;
}

bool Counted(const PARTITION_INFO* pi) {
    return pi->ucFsKind != FS_KIND_FREE && pi->ucFsKind != FS_KIND_EXTENDED &&
           pi->ucFsKind != FS_KIND_EXTENDED_LINK;
}

bool IsFat(uint8_t kind) {
    return kind == FS_KIND_FAT || kind == FS_KIND_FAT32;
}

// The served partition a path names, with the path inside it.
PARTITION_INFO* Resolve(const std::string& path, std::string* rest) {
    HIDPART_PATH p;
    if (!HidPartParsePath(path, &p))
        return nullptr;
    PARTITION_INFO* pi = HidPartFindPartition(p.disk, p.part);
    if (pi == nullptr || !HidPartServes(pi))
        return nullptr;
    *rest = p.rest;
    return pi;
}

bool IsRoot(const std::string& rest) {
    return rest.empty() || rest == "\\";
}

// The file system of the partition for one operation; closed by the guard.
class MOUNTED_FS {
public:
    explicit MOUNTED_FS(PARTITION_INFO* pi) {
        if (OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, 0) != KW_OK)
            return;
        if (fs_->GetHandle() == FS_NO_HANDLE || fs_->Init() != KW_OK)
            CloseFileSystem(&fs_);
    }
    ~MOUNTED_FS() { CloseFileSystem(&fs_); }
    MOUNTED_FS(const MOUNTED_FS&) = delete;
    MOUNTED_FS& operator=(const MOUNTED_FS&) = delete;
    FILESYSTEM* get() const { return fs_; }

private:
    FILESYSTEM* fs_ = nullptr;
};

HIDPART_FILESYSEXTENDER gExtender;
bool gInstalled = false;

} // namespace

bool HidPartParsePath(const std::string& path, HIDPART_PATH* out) {
    if (!StartsNoCase(path, 0, kPrefix))
        return false;
    HIDPART_PATH p;
    size_t at = sizeof kPrefix - 1;
    if (!ParseNumber(path, &at, &p.disk) || !StartsNoCase(path, at, kPart))
        return false;
    at += sizeof kPart - 1;
    if (!ParseNumber(path, &at, &p.part))
        return false;
    if (at < path.size() && path[at] != '\\')
        return false;
    p.rest = at < path.size() ? path.substr(at) : std::string("\\");
    if (out != nullptr)
        *out = std::move(p);
    return true;
}

PARTITION_INFO* HidPartFindPartition(uint32_t disk, uint32_t part) {
    DISK_RECORD* d = nullptr;
    if (kwGetDiskListEx(&d, 0) != KW_OK)
        return nullptr;
    for (uint32_t n = 1; d != nullptr && n < disk; ++n)
        d = d->next;
    if (d == nullptr || disk == 0)
        return nullptr;
    uint32_t m = 0;
    for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next) {
        if (Counted(pi) && ++m == part)
            return pi;
    }
    return nullptr;
}

bool HidPartServes(const PARTITION_INFO* pi) {
    if (pi == nullptr || (pi->ulFlags & PI_BEYOND_DISK) != 0)
        return false;
    if (!IsFat(pi->ucFsKind) && pi->ucFsKind != FS_KIND_NTFS)
        return false;
    const FS_MODULE* row = fsModuleOf(pi->ucFsKind);
    if (row == nullptr || row->createFile == nullptr)
        return false;
    return !kwPartitionMounted(pi);
}

bool HidPartWritable(const PARTITION_INFO* pi) {
    return pi != nullptr && kwDiskWritable(pi->disk) && !kwPartitionMounted(pi);
}

bool HIDPART_FILESYSEXTENDER::ClaimsPath(std::string& path) {
    return HidPartParsePath(path, nullptr);
}

vfs::FILEHANDLE* HIDPART_FILESYSEXTENDER::OpenFile(const std::string& path) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr || IsRoot(rest))
        return nullptr;
    return HidPartOpen(pi, rest, false, HidPartWritable(pi));
}

vfs::FILEHANDLE* HIDPART_FILESYSEXTENDER::OpenFileReadOnly(const std::string& path) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr || IsRoot(rest))
        return nullptr;
    return HidPartOpen(pi, rest, false, false);
}

vfs::FILEHANDLE* HIDPART_FILESYSEXTENDER::CreateFile(const std::string& path) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr || IsRoot(rest) || !HidPartWritable(pi))
        return nullptr;
    return HidPartOpen(pi, rest, true, true);
}

bool HIDPART_FILESYSEXTENDER::GetFileInfo(const std::string& path, vfs::VFS_ENTRY* info) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr)
        return false;
    vfs::VFS_ENTRY found;
    if (IsRoot(rest)) {
        found.name = "\\";
        found.attributes = vfs::ATTR_DIRECTORY;
        found.time = vfs::FILETIME_1980;
    } else {
        // The entry as its folder's listing gives it.
        size_t slash = rest.find_last_of('\\');
        std::string folder = slash == 0 ? "\\" : rest.substr(0, slash);
        std::string name = rest.substr(slash + 1);
        if (name.empty())
            return false;
        vfs::VFS_ENTRY e;
        vfs::FILEITERATOR* it = HidPartList(pi, folder, &e);
        if (it == nullptr)
            return false;
        bool hit = strcasecmp(e.name.c_str(), name.c_str()) == 0;
        while (!hit && it->FindNext(&e))
            hit = strcasecmp(e.name.c_str(), name.c_str()) == 0;
        it->Release();
        if (!hit)
            return false;
        found = std::move(e);
    }
    if (info != nullptr)
        *info = std::move(found);
    return true;
}

bool HIDPART_FILESYSEXTENDER::GetAttributes(const std::string& path, uint32_t* attributes) {
    vfs::VFS_ENTRY e;
    if (!GetFileInfo(path, &e))
        return false;
    if (attributes != nullptr)
        *attributes = e.attributes;
    return true;
}

// Within one partition only; never over an existing file.
bool HIDPART_FILESYSEXTENDER::MoveFile(const std::string& from, const std::string& to) {
    std::string rest, restTo;
    PARTITION_INFO* pi = Resolve(from, &rest);
    if (pi == nullptr || IsRoot(rest) || Resolve(to, &restTo) != pi || IsRoot(restTo) ||
        !HidPartWritable(pi))
        return false;
    FILE_BASE* file = nullptr;
    if (kwFileOpen(&file, rest.c_str(), FILE_MODE_NO_OPEN, pi, nullptr, 0) != KW_OK)
        return false;
    kwRet rc = file->Rename(restTo.c_str());
    kwRet closed = kwFileClose(file, 0, nullptr);
    return rc == KW_OK && closed == KW_OK;
}

namespace {

// Runs one change (delete, make folder) on the file object of a path below a
// writable partition's root; false when refused or when the change or the
// close fails.
bool ChangeFile(const std::string& path, kwRet (FILE_BASE::*change)()) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr || IsRoot(rest) || !HidPartWritable(pi))
        return false;
    FILE_BASE* file = nullptr;
    if (kwFileOpen(&file, rest.c_str(), FILE_MODE_NO_OPEN, pi, nullptr, 0) != KW_OK)
        return false;
    kwRet rc = (file->*change)();
    kwRet closed = kwFileClose(file, 0, nullptr);
    return rc == KW_OK && closed == KW_OK;
}

} // namespace

bool HIDPART_FILESYSEXTENDER::DeleteFile(const std::string& path) {
    return ChangeFile(path, &FILE_BASE::Delete);
}

vfs::FILEITERATOR* HIDPART_FILESYSEXTENDER::FindFirst(const std::string& path,
                                                      vfs::VFS_ENTRY* first) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr)
        return nullptr;
    // A pattern as the last component lists its folder.
    size_t slash = rest.find_last_of('\\');
    if (rest.find_first_of("*?", slash) != std::string::npos)
        rest = slash == 0 ? "\\" : rest.substr(0, slash);
    return HidPartList(pi, rest, first);
}

bool HIDPART_FILESYSEXTENDER::CreateDirectory(const std::string& path) {
    return ChangeFile(path, &FILE_BASE::CreateDir);
}

bool HIDPART_FILESYSEXTENDER::GetFullPath(const std::string& path, std::string* full) {
    std::string out;
    if (!vfs::vfsNormalizePath(path, &out, 0))
        return false;
    if (full != nullptr)
        *full = std::move(out);
    return true;
}

uint32_t HIDPART_FILESYSEXTENDER::GetVolumeCount() {
    uint32_t count = 0;
    std::string name;
    while (GetVolumeName(count, &name))
        ++count;
    return count;
}

// The index-th served partition in disk order; numbered as the lookup counts.
bool HIDPART_FILESYSEXTENDER::GetVolumeName(uint32_t index, std::string* name) {
    DISK_RECORD* d = nullptr;
    if (kwGetDiskListEx(&d, 0) != KW_OK)
        return false;
    uint32_t seen = 0;
    for (uint32_t n = 1; d != nullptr; d = d->next, ++n) {
        uint32_t m = 0;
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next) {
            if (!Counted(pi))
                continue;
            ++m;
            if (!HidPartServes(pi) || seen++ != index)
                continue;
            if (name != nullptr)
                *name = kPrefix + std::to_string(n) + kPart + std::to_string(m);
            return true;
        }
    }
    return false;
}

bool HIDPART_FILESYSEXTENDER::GetVolumeLabel(const std::string& path, std::string* label) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr)
        return false;
    if (label != nullptr)
        label->assign(pi->volumeLabel, strnlen(pi->volumeLabel, sizeof pi->volumeLabel));
    return true;
}

bool HIDPART_FILESYSEXTENDER::GetDriveFlags(const std::string& path, uint32_t* flags) {
    std::string rest;
    if (Resolve(path, &rest) == nullptr)
        return false;
    if (flags != nullptr)
        *flags = 0; // a fixed disk
    return true;
}

bool HIDPART_FILESYSEXTENDER::GetMediaState(const std::string& path, uint32_t* state) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr)
        return false;
    if (state != nullptr)
        *state = HidPartWritable(pi) ? vfs::MEDIA_READY : vfs::MEDIA_WRITE_PROTECT;
    return true;
}

bool HIDPART_FILESYSEXTENDER::GetDiskSpace(const std::string& path, uint64_t* total,
                                           uint64_t* free) {
    std::string rest;
    PARTITION_INFO* pi = Resolve(path, &rest);
    if (pi == nullptr)
        return false;
    const FS_MODULE* row = fsModuleOf(pi->ucFsKind);
    uint32_t freeSects = 0;
    {
        MOUNTED_FS fs(pi);
        if (fs.get() == nullptr || row->estimateFree == nullptr ||
            row->estimateFree(pi, &freeSects) >= 500)
            return false;
    }
    if (total != nullptr)
        *total = uint64_t{pi->NumSects} * 512;
    if (free != nullptr)
        *free = uint64_t{freeSects} * 512;
    return true;
}

void InstallHidPartExtender(vfs::VFS_NAMESPACE& ns) {
    if (gInstalled)
        return;
    ns.AddExtender(&gExtender);
    gInstalled = true;
}

void RemoveHidPartExtender(vfs::VFS_NAMESPACE& ns) {
    if (!gInstalled)
        return;
    ns.RemoveExtender(&gExtender);
    gInstalled = false;
}

} // namespace kw::hidpart
