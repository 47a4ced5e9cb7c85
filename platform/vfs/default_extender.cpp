// The root provider: host files through the drive table.
#include "platform/vfs/default_extender.h"

#include "platform/files/ascii.h"
#include "platform/files/sysfile.h"
#include "platform/vfs/default_handles.h"

#include <new>
#include <sys/stat.h>

namespace kw::vfs {
namespace {

// The drive letter of "X:..." paths, else 0.
char DriveLetter(const std::string& path) {
    return path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':' ? AsciiUpper(path[0]) : 0;
}

bool IsDriveRoot(const std::string& path) {
    return DriveLetter(path) && (path.size() == 2 || (path.size() == 3 && path[2] == '\\'));
}

bool HostExists(const std::string& host) {
    struct stat st;
    return ::lstat(host.c_str(), &st) == 0;
}

} // namespace

DEFAULTFILESYSEXTENDER::DEFAULTFILESYSEXTENDER(const VFS_OPTIONS& options) : options_(options) {}

void DEFAULTFILESYSEXTENDER::SetOptions(const VFS_OPTIONS& options) {
    options_ = options;
    drivesCounted_ = false;
}

void DEFAULTFILESYSEXTENDER::SetDriveTable(const drives::DriveTable* table) {
    table_ = table;
    drivesCounted_ = false;
    driveLetters_.clear();
}

const drives::DriveTable& DEFAULTFILESYSEXTENDER::Table() const {
    return table_ ? *table_ : drives::DriveTable::Process();
}

bool DEFAULTFILESYSEXTENDER::ToHost(const std::string& path, std::string* host) const {
    return Table().ToHost(path, host);
}

bool DEFAULTFILESYSEXTENDER::IsDriveList(const std::string& path) const {
    if (options_.deviceFormDriveList)
        return path.rfind("\\\\.\\", 0) == 0;
    return path == "\\\\.";
}

bool DEFAULTFILESYSEXTENDER::ClaimsPath(std::string& path) {
    if (path == "\\\\") {
        path.clear();
    } else if (path.size() >= 6 && path.rfind("\\\\.\\", 0) == 0 && IsAsciiLetter(path[4]) &&
               path[5] == ':') {
        path.erase(0, 4);
        if (path.size() == 2)
            path.push_back('\\');
    }
    return true;
}

void* DEFAULTFILESYSEXTENDER::Reserved1(const std::string&, const char*) {
    return nullptr;
}

FILEHANDLE* DEFAULTFILESYSEXTENDER::OpenFile(const std::string& path) {
    std::string host;
    int fd = ToHost(path, &host) ? sys::sysOpenFile(host) : -1;
    return fd < 0 ? nullptr : DEFAULTFILEHANDLE::Make(fd);
}

FILEHANDLE* DEFAULTFILESYSEXTENDER::OpenFileReadOnly(const std::string& path) {
    std::string host;
    int fd = ToHost(path, &host) ? sys::sysOpenFileReadOnly(host) : -1;
    return fd < 0 ? nullptr : DEFAULTFILEHANDLE::Make(fd);
}

FILEHANDLE* DEFAULTFILESYSEXTENDER::CreateFile(const std::string& path) {
    std::string host;
    int fd = ToHost(path, &host) ? sys::sysCreateFile(host) : -1;
    if (fd < 0)
        return nullptr;
    FILEHANDLE* h = DEFAULTFILEHANDLE::Make(fd);
    if (!h)
        sys::sysDeleteFile(host);
    return h;
}

bool DEFAULTFILESYSEXTENDER::GetFileInfo(const std::string& path, VFS_ENTRY* info) {
    if (IsDriveList(path)) {
        if (info)
            *info = VFS_ENTRY{path, ATTR_DIRECTORY, FILETIME_1980, 0};
        return true;
    }
    std::string host;
    if (!ToHost(path, &host) || !sys::sysGetFileInfo(host, info))
        return false;
    if (info && IsDriveRoot(path)) {
        info->name = "\\";
        info->time = 0;
    }
    return true;
}

bool DEFAULTFILESYSEXTENDER::GetAttributes(const std::string& path, uint32_t* attributes) {
    if (IsDriveList(path)) {
        if (attributes)
            *attributes = ATTR_DIRECTORY;
        return true;
    }
    std::string host;
    return ToHost(path, &host) && sys::sysGetAttributes(host, attributes);
}

bool DEFAULTFILESYSEXTENDER::SetAttributes(const std::string& path, uint32_t attributes) {
    std::string host;
    return ToHost(path, &host) && sys::sysSetAttributes(host, attributes);
}

bool DEFAULTFILESYSEXTENDER::MoveFile(const std::string& from, const std::string& to) {
    std::string a, b;
    return ToHost(from, &a) && ToHost(to, &b) && sys::sysMoveFile(a, b);
}

bool DEFAULTFILESYSEXTENDER::ReplaceFile(const std::string& from, const std::string& to) {
    std::string a, b;
    return ToHost(from, &a) && ToHost(to, &b) && sys::sysReplaceFile(a, b);
}

bool DEFAULTFILESYSEXTENDER::SyncFolder(const std::string& path) {
    std::string host;
    return ToHost(path, &host) && sys::sysSyncFolder(host);
}

bool DEFAULTFILESYSEXTENDER::DeleteFile(const std::string& path) {
    std::string host;
    return ToHost(path, &host) && sys::sysDeleteFile(host);
}

FILEITERATOR* DEFAULTFILESYSEXTENDER::FindFirst(const std::string& path, VFS_ENTRY* first) {
    FILEITERATOR* it = nullptr;
    if (IsDriveList(path)) {
        it = new (std::nothrow) VOLUMEITERATOR(this);
    } else {
        std::string host;
        std::vector<VFS_ENTRY> entries;
        if (!ToHost(path, &host) || !sys::sysListDirectory(host, &entries) || entries.empty())
            return nullptr;
        it = new (std::nothrow) DEFAULTFILEITERATOR(std::move(entries));
    }
    if (it && !it->FindNext(first)) {
        it->Release();
        it = nullptr;
    }
    return it;
}

bool DEFAULTFILESYSEXTENDER::CreateDirectory(const std::string& path) {
    std::string host;
    return ToHost(path, &host) && sys::sysCreateDirectory(host);
}

bool DEFAULTFILESYSEXTENDER::RemoveDirectory(const std::string& path) {
    std::string host;
    return ToHost(path, &host) && sys::sysRemoveDirectory(host);
}

bool DEFAULTFILESYSEXTENDER::GetFullPath(const std::string& path, std::string* full) {
    if (IsDriveList(path)) {
        std::string out = path;
        if (out.size() > 2 && out.back() == '\\')
            out.pop_back();
        if (full)
            *full = out;
        return true;
    }
    std::string host, out;
    if (!ToHost(path, &host) || !Table().FromHost(host, &out))
        return false;
    if (full)
        *full = std::move(out);
    return true;
}

uint32_t DEFAULTFILESYSEXTENDER::GetVolumeCount() {
    if (!drivesCounted_) {
        driveLetters_.clear();
        for (const drives::DRIVE& d : Table().Drives())
            driveLetters_.push_back(d.letter);
        drivesCounted_ = true;
    }
    return static_cast<uint32_t>(driveLetters_.size());
}

bool DEFAULTFILESYSEXTENDER::GetVolumeName(uint32_t index, std::string* name) {
    if (index >= GetVolumeCount())
        return false;
    std::string out = options_.deviceFormDriveList ? "\\\\.\\" : "";
    out.push_back(driveLetters_[index]);
    out.push_back(':');
    if (name)
        *name = std::move(out);
    return true;
}

bool DEFAULTFILESYSEXTENDER::GetVolumeLabel(const std::string& path, std::string* label) {
    char letter = DriveLetter(path);
    if (!letter || !Table().Find(letter))
        return false;
    std::string text;
    Table().Label(letter, &text); // a drive without a label has an empty one
    if (label)
        *label = std::move(text);
    return true;
}

bool DEFAULTFILESYSEXTENDER::SetVolumeLabel(const std::string&, const char*) {
    return false; // labels of mounted file systems are not changed from here
}

bool DEFAULTFILESYSEXTENDER::GetDriveFlags(const std::string& path, uint32_t* flags) {
    char letter = DriveLetter(path);
    return letter && Table().DriveFlags(letter, flags);
}

bool DEFAULTFILESYSEXTENDER::GetNetworkName(const std::string& path, std::string* name) {
    char letter = DriveLetter(path);
    return letter && Table().NetworkName(letter, name);
}

// Probes a removable drive's medium for writing with a temporary file.
uint32_t DEFAULTFILESYSEXTENDER::RemovableMediaState(char letter, uint32_t flags) {
    std::string root;
    if (!ToHost(std::string{letter, ':', '\\'}, &root) || !HostExists(root))
        return options_.noMediumState;
    if ((flags & 0x0C) == 0x0C)
        return MEDIA_CDROM;
    for (int n = 1; n <= 99; ++n) {
        std::string probe = (root == "/" ? "" : root) + "/$@KW" + std::to_string(n) + ".TMP";
        if (HostExists(probe))
            continue;
        int fd = sys::sysCreateFile(probe);
        if (fd < 0)
            return MEDIA_WRITE_PROTECT;
        sys::sysCloseFile(fd);
        sys::sysDeleteFile(probe);
        return MEDIA_READY;
    }
    return MEDIA_WRITE_PROTECT;
}

bool DEFAULTFILESYSEXTENDER::GetMediaState(const std::string& path, uint32_t* state) {
    char letter = DriveLetter(path);
    uint32_t flags = 0;
    if (letter) {
        if (!Table().DriveFlags(letter, &flags))
            return false;
    } else {
        if (!GetAttributes(path, nullptr))
            return false;
        flags = DRIVE_REMOTE;
    }
    uint32_t s = MEDIA_READY;
    if (!(flags & DRIVE_REMOTE) && (flags & DRIVE_REMOVABLE))
        s = RemovableMediaState(letter, flags);
    if (state)
        *state = s;
    return true;
}

bool DEFAULTFILESYSEXTENDER::GetDiskSpace(const std::string& path, uint64_t* total,
                                          uint64_t* free) {
    // The file system that holds the path: the nearest existing folder above
    // it (the drive root may lie on another mount than the path).
    std::string host;
    if (!ToHost(path, &host))
        return false;
    while (!HostExists(host) && host.size() > 1) {
        size_t slash = host.rfind('/');
        host = slash == 0 || slash == std::string::npos ? "/" : host.substr(0, slash);
    }
    return sys::sysDiskSpace(host, total, free);
}

int DEFAULTFILESYSEXTENDER::TouchDrive(const std::string& path) {
    return DriveLetter(path);
}

} // namespace kw::vfs
