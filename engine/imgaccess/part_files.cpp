// Partition access: the partition's file system, its directory listings and
// its files.
#include "engine/imgaccess/part_access.h"

#include "engine/disk/partition_info.h"

namespace kw::imgaccess {

void KWIPART_ACCESS::CloseAll() {
    listed_.clear();
    if (pi_ != nullptr)
        DeletePi(&pi_);
}

kwRet KWIPART_ACCESS::OpenFileSystem() {
    return ERR_UNKNOWN_MEDIA;
}

kwRet KWIPART_ACCESS::MountFileSystem() {
    return OpenFileSystem();
}

bool KWIPART_ACCESS::UnmountFileSystem() {
    return openFiles_ == 0;
}

kwRet KWIPART_ACCESS::SelectDirectory(const char*) {
    return MountFileSystem();
}

kwRet KWIPART_ACCESS::ListDirectory(const std::string&) {
    return ERR_UNKNOWN_MEDIA;
}

kwRet KWIPART_ACCESS::ReadEntry(uint32_t, IMG_ENTRY*) {
    return ERR_FILE_NOT_FOUND;
}

uint32_t KWIPART_ACCESS::Enumerate(uint32_t cookie, const char* path, IMG_ENTRY* entry,
                                   kwRet* code) {
    *code = SelectDirectory(path);
    if (*code == KW_OK)
        *code = ReadEntry(cookie, entry);
    if (*code == ERR_FILE_NOT_FOUND)
        *code = KW_OK; // the end of the listing
    return *code == KW_OK && entry->name[0] != '\0' ? cookie + 1 : 0;
}

kwRet KWIPART_ACCESS::OpenFile(const char*, PART_FILE** file) {
    *file = nullptr;
    return MountFileSystem();
}

void KWIPART_ACCESS::CloseFile(PART_FILE* file) {
    delete file;
}

} // namespace kw::imgaccess
