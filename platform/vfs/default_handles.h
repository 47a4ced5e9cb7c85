// The objects the root provider hands out.
#pragma once

#include "platform/vfs/vfs_types.h"

#include <vector>

namespace kw::vfs {

// The reference count of one handed-out object: starts at 1, the last
// Release destroys it.
template <class Interface> class REFCOUNTED : public Interface {
public:
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    ~REFCOUNTED() override = default;

private:
    uint32_t refs_ = 1;
};

// An open host file: owns the descriptor, closed by the last Release.
class DEFAULTFILEHANDLE final : public REFCOUNTED<FILEHANDLE> {
public:
    // Wraps fd; closes it and returns null when the object cannot be made.
    static DEFAULTFILEHANDLE* Make(int fd);

    void* Reserved2(const char*) override { return nullptr; }
    bool GetSize(uint64_t* size) override;
    bool SetSize(uint64_t size) override;
    bool GetPosition(uint64_t* position) override;
    bool SetPosition(uint64_t position) override;
    bool Read(void* buffer, size_t count, size_t* done) override;
    bool Write(const void* buffer, size_t count, size_t* done) override;
    uint64_t GetTime() override;
    bool SetTime(uint64_t filetime) override;
    bool Flush() override;
    bool Sync() override;
    bool TryLock() override;
    void StartWriteback(uint64_t offset, uint64_t length) override;

private:
    explicit DEFAULTFILEHANDLE(int fd) : fd_(fd) {}
    ~DEFAULTFILEHANDLE() override;

    int fd_;
};

// A host folder's listing, read whole and sorted when it was made; owns the entries.
class DEFAULTFILEITERATOR final : public REFCOUNTED<FILEITERATOR> {
public:
    explicit DEFAULTFILEITERATOR(std::vector<VFS_ENTRY> entries) : entries_(std::move(entries)) {}

    bool FindNext(VFS_ENTRY* entry) override;

private:
    ~DEFAULTFILEITERATOR() override = default;

    std::vector<VFS_ENTRY> entries_;
    size_t next_ = 0;
};

// The pseudo-folder of drives: one directory entry per volume of the provider
// it was made from (which must outlive it).
class VOLUMEITERATOR final : public REFCOUNTED<FILEITERATOR> {
public:
    explicit VOLUMEITERATOR(FILESYSEXTENDER* owner) : owner_(owner) {}

    bool FindNext(VFS_ENTRY* entry) override;

private:
    ~VOLUMEITERATOR() override = default;

    FILESYSEXTENDER* owner_;
    uint32_t next_ = 0;
};

} // namespace kw::vfs
