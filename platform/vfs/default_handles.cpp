// The open-file and listing objects of the root provider.
#include "platform/vfs/default_handles.h"

#include "platform/files/sysfile.h"

#include <new>

namespace kw::vfs {

DEFAULTFILEHANDLE* DEFAULTFILEHANDLE::Make(int fd) {
    auto* h = new (std::nothrow) DEFAULTFILEHANDLE(fd);
    if (!h)
        sys::sysCloseFile(fd);
    return h;
}

DEFAULTFILEHANDLE::~DEFAULTFILEHANDLE() {
    sys::sysCloseFile(fd_);
}

bool DEFAULTFILEHANDLE::GetSize(uint64_t* size) {
    return sys::sysGetSize(fd_, size);
}
bool DEFAULTFILEHANDLE::SetSize(uint64_t size) {
    return sys::sysSetSize(fd_, size);
}
bool DEFAULTFILEHANDLE::GetPosition(uint64_t* position) {
    return sys::sysGetPosition(fd_, position);
}
bool DEFAULTFILEHANDLE::SetPosition(uint64_t position) {
    return sys::sysSetPosition(fd_, position);
}
bool DEFAULTFILEHANDLE::Read(void* buffer, size_t count, size_t* done) {
    return sys::sysRead(fd_, buffer, count, done);
}
bool DEFAULTFILEHANDLE::Write(const void* buffer, size_t count, size_t* done) {
    return sys::sysWrite(fd_, buffer, count, done);
}
uint64_t DEFAULTFILEHANDLE::GetTime() {
    return sys::sysGetTime(fd_);
}
bool DEFAULTFILEHANDLE::SetTime(uint64_t filetime) {
    return sys::sysSetTime(fd_, filetime);
}

bool DEFAULTFILEHANDLE::Flush() {
    return sys::sysFlush(fd_);
}

bool DEFAULTFILEHANDLE::Sync() {
    return sys::sysSync(fd_);
}
bool DEFAULTFILEHANDLE::TryLock() {
    return sys::sysTryLock(fd_);
}
void DEFAULTFILEHANDLE::StartWriteback(uint64_t offset, uint64_t length) {
    sys::sysStartWriteback(fd_, offset, length);
}

bool DEFAULTFILEITERATOR::FindNext(VFS_ENTRY* entry) {
    if (next_ >= entries_.size())
        return false;
    if (entry)
        *entry = entries_[next_];
    ++next_;
    return true;
}

bool VOLUMEITERATOR::FindNext(VFS_ENTRY* entry) {
    std::string name;
    if (next_ >= owner_->GetVolumeCount() || !owner_->GetVolumeName(next_, &name))
        return false;
    ++next_;
    if (entry) {
        entry->name = std::move(name);
        entry->attributes = ATTR_DIRECTORY;
        entry->time = FILETIME_1980;
        entry->size = 0;
    }
    return true;
}

} // namespace kw::vfs
