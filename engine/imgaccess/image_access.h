// IMAGE_ACCESS: the one implementation of IMGACCESS, with its iterator and
// file handle.
#pragma once

#include "engine/imgaccess/imgaccess.h"
#include "engine/imgaccess/legacy_access.h"
#include "engine/imgaccess/part_access.h"

#include <cstdint>
#include <string>

namespace kw::imgaccess {

// Splits "\Partition" + digits [+ "\" + rest]: *index is the part index (no
// digits: 0), *rest the path inside the partition ("\" when none). 505 for a
// path of another form, 504 for digits whose value does not fit 32 bits.
kwRet ParsePartitionPath(const char* path, uint32_t* index, std::string* rest);

// Copies text into a caller's buffer of `size` bytes, cut and terminated.
void CopyText(const char* text, char* buffer, uint32_t size);

// Owns the shared part store and up to 12 partition accesses (slot i for
// part i of the store). Images of the older format are tried first, through
// the image library's IMAGE_STORE; their partition accesses ask their
// questions through this object, which hands them to the editor's callback.
class IMAGE_ACCESS final : public IMGACCESS, public PARTACCESS_UI_CALLBACK {
public:
    IMAGE_ACCESS(const char* imagePath, const char* changeFile, IMGACCESS_UI_CALLBACK* callback);
    IMAGE_ACCESS(const IMAGE_ACCESS&) = delete;
    IMAGE_ACCESS& operator=(const IMAGE_ACCESS&) = delete;

    kwRet Open();

    uint32_t Query(uint32_t code, const char* text) override;
    bool Progress(uint32_t low, uint32_t high, uint32_t current) override;
    bool EndProgress() override;

    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override;
    IMGACCESS_FILEHANDLE* OpenFile(const char* path) override;
    uint32_t GetFileInfo(const char* path, char* name, uint32_t size, uint32_t* attributes,
                         uint64_t* time, uint64_t* bytes) override;
    IMGACCESS_ITERATOR* FindFirst(const char* path, char* name, uint32_t size, uint32_t* attributes,
                                  uint64_t* time, uint64_t* bytes) override;
    IMGACCESS_ITERATOR* FindFirstDirectory(const char* path, char* name, uint32_t size,
                                           uint32_t* attributes, uint64_t* time) override;
    uint32_t GetDisplayName(const char* path, char* text, uint32_t size) override;
    uint32_t GetPartitionIndex(const char* path, uint32_t* index) override;
    PART_STORE* GetPartStore() override { return store_; }
    uint32_t SaveChanges(const char* path) override;
    uint32_t SaveAllChanges() override;
    uint32_t SavePartitionChangesTo(const char* path, const char* changeFile) override;
    uint32_t SaveAllChangesTo(const char* changeFile) override;

    // The partition access of path, made current, with the path inside the
    // partition; the failure's code otherwise.
    kwRet ResolvePath(const char* path, KWIPART_ACCESS** access, std::string* rest);
    // Entry `cookie` of the directory at path; the next cookie, 0 at the end.
    uint32_t Enumerate(uint32_t cookie, const char* path, IMG_ENTRY* entry);
    // Why the last Enumerate below the root ended (0: the end of the list).
    kwRet LastListingError() const { return lastListing_; }
    KWIPART_ACCESS* Access(uint32_t index) const {
        return index < IMGACCESS_MAX_PARTITIONS ? parts_[index] : nullptr;
    }

private:
    ~IMAGE_ACCESS();
    // The two formats; the older one reads through `image`.
    kwRet OpenOlder(IMAGE_STORE* image);
    kwRet OpenCurrent();
    // Takes over the caller's reference to store and opens its partitions.
    kwRet OpenParts(PART_STORE* store, IMAGE_STORE* image);
    IMGACCESS_ITERATOR* Find(const char* path, uint32_t filter, char* name, uint32_t size,
                             uint32_t* attributes, uint64_t* time, uint64_t* bytes);

    uint32_t refs_ = 1;
    IMGACCESS_UI_CALLBACK* callback_; // not owned; may be null
    std::string imagePath_;
    std::string changeFile_;
    SHARED_PART_STORE* store_ = nullptr; // one reference held
    // One access per listed partition; a damaged one has none, and its
    // code instead.
    KWIPART_ACCESS* parts_[IMGACCESS_MAX_PARTITIONS] = {};
    kwRet damage_[IMGACCESS_MAX_PARTITIONS] = {};
    uint32_t partCount_ = 0;
    kwRet lastListing_ = KW_OK;
};

} // namespace kw::imgaccess
