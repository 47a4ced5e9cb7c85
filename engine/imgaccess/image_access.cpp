#include "engine/imgaccess/image_access.h"

#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>

namespace kw::imgaccess {

namespace {

constexpr char kPartitionPrefix[] = "\\Partition";
constexpr size_t kPrefixLength = sizeof kPartitionPrefix - 1;
// The answer to a question about a change file when nobody can be asked: go
// on without it.
constexpr uint32_t kQueryGoOn = 4;

// A directory listing over IMAGE_ACCESS::Enumerate; keeps its image alive.
class IMAGE_ACCESS_ITERATOR final : public IMGACCESS_ITERATOR {
public:
    IMAGE_ACCESS_ITERATOR(IMAGE_ACCESS* image, std::string path, uint32_t filter)
        : image_(image), path_(std::move(path)), filter_(filter) {
        image_->AddRef();
    }
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        if (--refs_ != 0)
            return refs_;
        image_->Release();
        delete this;
        return 0;
    }
    bool First(char* name, uint32_t size, uint32_t* attributes, uint64_t* time,
               uint64_t* bytes) override {
        cookie_ = 0;
        return Next(name, size, attributes, time, bytes);
    }
    bool Next(char* name, uint32_t size, uint32_t* attributes, uint64_t* time,
              uint64_t* bytes) override {
        IMG_ENTRY entry;
        do {
            entry = IMG_ENTRY{};
            cookie_ = image_->Enumerate(cookie_, path_.c_str(), &entry);
        } while (cookie_ != 0 && filter_ != 0 && (entry.attributes & filter_) == 0);
        if (cookie_ == 0)
            return false;
        CopyText(entry.name, name, size);
        if (attributes != nullptr)
            *attributes = entry.attributes;
        if (time != nullptr && entry.hasTime)
            *time = entry.time;
        if (bytes != nullptr)
            *bytes = entry.size;
        return true;
    }

private:
    ~IMAGE_ACCESS_ITERATOR() = default;
    uint32_t refs_ = 1;
    IMAGE_ACCESS* image_;
    std::string path_;
    uint32_t filter_; // 0 all entries, else attribute bits an entry must have one of
    uint32_t cookie_ = 0;
};

// An open file of a partition; keeps its image (and so its partition
// access) alive while it exists.
class IMAGE_ACCESS_FILEHANDLE final : public IMGACCESS_FILEHANDLE {
public:
    IMAGE_ACCESS_FILEHANDLE(IMAGE_ACCESS* image, KWIPART_ACCESS* access)
        : image_(image), access_(access) {
        image_->AddRef();
    }
    kwRet Open(const std::string& rest) {
        error_ = access_->OpenFile(rest.c_str(), &file_);
        return error_;
    }
    uint32_t AddRef() override { return ++refs_; }
    // The file is closed by the first Release, as callers expect; the
    // object itself lives on while referenced.
    uint32_t Release() override {
        if (file_ != nullptr) {
            access_->CloseFile(file_);
            file_ = nullptr;
        }
        if (--refs_ != 0)
            return refs_;
        image_->Release();
        delete this;
        return 0;
    }
    uint64_t GetSize() override { return file_ != nullptr ? file_->GetSize() : 0; }
    bool Read(void* buffer, uint32_t count, uint32_t* done) override {
        if (done != nullptr)
            *done = 0;
        if (file_ == nullptr) {
            error_ = ERR_BAD_HANDLE;
            return false;
        }
        CURRENT_PART_SCOPE current(access_);
        error_ = file_->Read(buffer, count);
        if (error_ == KW_OK && done != nullptr)
            *done = count;
        return error_ == KW_OK;
    }
    uint32_t GetLastError() override { return error_; }

private:
    ~IMAGE_ACCESS_FILEHANDLE() = default;
    uint32_t refs_ = 1;
    IMAGE_ACCESS* image_;
    KWIPART_ACCESS* access_; // owned by image_
    PART_FILE* file_ = nullptr;
    kwRet error_ = KW_OK;
};

bool gHookInstalled = false;

} // namespace

void CopyText(const char* text, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0)
        return;
    const size_t n = std::min<size_t>(std::strlen(text), size - 1);
    std::memcpy(buffer, text, n);
    std::memset(buffer + n, 0, size - n);
}

kwRet ParsePartitionPath(const char* path, uint32_t* index, std::string* rest) {
    *index = 0;
    if (path == nullptr || strncasecmp(path, kPartitionPrefix, kPrefixLength) != 0)
        return ERR_INVALID_PATH;
    const char* p = path + kPrefixLength;
    uint64_t value = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        overflow = overflow || value > UINT32_MAX;
        value = overflow ? UINT32_MAX : value;
    }
    if (*p != '\0' && *p != '\\')
        return ERR_INVALID_PATH;
    if (overflow)
        return ERR_FILE_NOT_FOUND;
    *index = static_cast<uint32_t>(value);
    if (rest != nullptr)
        *rest = *p == '\0' ? std::string("\\") : std::string(p);
    return KW_OK;
}

IMAGE_ACCESS::IMAGE_ACCESS(const char* imagePath, const char* changeFile,
                           IMGACCESS_UI_CALLBACK* callback)
    : callback_(callback), imagePath_(imagePath != nullptr ? imagePath : ""),
      changeFile_(changeFile != nullptr ? changeFile : "") {}

IMAGE_ACCESS::~IMAGE_ACCESS() {
    // Partition accesses first: their file systems read through the store.
    for (KWIPART_ACCESS*& access : parts_) {
        delete access;
        access = nullptr;
    }
    if (store_ != nullptr)
        store_->Release();
}

uint32_t IMAGE_ACCESS::Release() {
    if (--refs_ != 0)
        return refs_;
    delete this;
    return 0;
}

kwRet IMAGE_ACCESS::Open() {
    int32_t error = 0;
    IMAGE_STORE* image = ImageStoreOpenReadOnly(imagePath_.c_str(), callback_, &error);
    if (image != nullptr) {
        const kwRet rc = OpenOlder(image);
        image->Release(); // the adapter and the accesses hold their own references
        return rc;
    }
    // A cancelled prompt ends the open; anything else may be the current format.
    return error == static_cast<int32_t>(ERR_USER_CANCEL) ? ERR_USER_CANCEL : OpenCurrent();
}

kwRet IMAGE_ACCESS::OpenOlder(IMAGE_STORE* image) {
    int32_t error = 0;
    PART_STORE* store = PartStoreLegacyUseImageStore(image, callback_, &error);
    if (store == nullptr)
        return error != 0 ? static_cast<kwRet>(error) : ERR_IMG_OPEN;
    return OpenParts(store, image);
}

kwRet IMAGE_ACCESS::OpenCurrent() {
    int32_t error = 0;
    PART_STORE* store = PartStoreOpenReadOnly(imagePath_.c_str(), callback_, &error);
    if (store == nullptr)
        return error != 0 ? static_cast<kwRet>(error) : ERR_IMG_OPEN;
    return OpenParts(store, nullptr);
}

kwRet IMAGE_ACCESS::OpenParts(PART_STORE* store, IMAGE_STORE* image) {
    store_ = SHARED_PART_STORE::Wrap(store);
    if (store_ == nullptr)
        return ERR_IMG_NO_MEMORY;
    PARTACCESS_UI_CALLBACK* own = callback_ != nullptr ? this : nullptr;
    const uint32_t count = store_->GetPartCount();
    kwRet rc = KW_OK;
    for (uint32_t i = 0; i < count && i < IMGACCESS_MAX_PARTITIONS && rc == KW_OK; ++i) {
        partCount_ = i + 1;
        rc = static_cast<kwRet>(store_->SelectPart(i));
        if (rc == ERR_IMG_INVALID) {
            damage_[i] = rc; // listed, the others open as before
            rc = KW_OK;
            continue;
        }
        if (rc == KW_OK)
            parts_[i] = image != nullptr ? CreateOldPartAccess(store_, i, image, own, &rc)
                                         : CreatePartAccess(store_, i, &rc);
        if (rc == KW_OK)
            rc = parts_[i]->Open(image != nullptr ? changeFile_.c_str() : nullptr);
    }
    return rc;
}

// The editor's callback carries no text with its question (its slot has no
// room for a pointer); the code says what went wrong.
uint32_t IMAGE_ACCESS::Query(uint32_t code, const char*) {
    return callback_ != nullptr ? callback_->Query(code, 0) : kQueryGoOn;
}

bool IMAGE_ACCESS::Progress(uint32_t low, uint32_t high, uint32_t current) {
    return callback_ == nullptr || callback_->Progress(low, high, current) != 0;
}

bool IMAGE_ACCESS::EndProgress() {
    return callback_ == nullptr || callback_->EndProgress() != 0;
}

kwRet IMAGE_ACCESS::ResolvePath(const char* path, KWIPART_ACCESS** access, std::string* rest) {
    *access = nullptr;
    uint32_t index = 0;
    kwRet rc = ParsePartitionPath(path, &index, rest);
    if (rc != KW_OK)
        return rc;
    KWIPART_ACCESS* found = Access(index);
    if (found == nullptr)
        return index < partCount_ && damage_[index] != KW_OK ? damage_[index] : ERR_FILE_NOT_FOUND;
    rc = found->BuildUsedMap();
    if (rc != KW_OK)
        return rc;
    *access = found;
    return KW_OK;
}

uint32_t IMAGE_ACCESS::Enumerate(uint32_t cookie, const char* path, IMG_ENTRY* entry) {
    if (std::strcmp(path, "\\") == 0) {
        if (cookie >= partCount_)
            return 0;
        std::snprintf(entry->name, sizeof entry->name, "Partition%u", cookie);
        entry->attributes = IMGACCESS_ATTR_PARTITION;
        entry->size = 0;
        entry->hasTime = false;
        return cookie + 1;
    }
    KWIPART_ACCESS* access = nullptr;
    std::string rest;
    lastListing_ = ResolvePath(path, &access, &rest);
    return lastListing_ == KW_OK ? access->Enumerate(cookie, rest.c_str(), entry, &lastListing_)
                                 : 0;
}

IMGACCESS_ITERATOR* IMAGE_ACCESS::Find(const char* path, uint32_t filter, char* name, uint32_t size,
                                       uint32_t* attributes, uint64_t* time, uint64_t* bytes) {
    CopyText("", name, size);
    if (path == nullptr)
        return nullptr;
    auto* it = new (std::nothrow) IMAGE_ACCESS_ITERATOR(this, path, filter);
    if (it == nullptr)
        return nullptr;
    if (!it->First(name, size, attributes, time, bytes)) {
        it->Release();
        return nullptr;
    }
    return it;
}

IMGACCESS_ITERATOR* IMAGE_ACCESS::FindFirst(const char* path, char* name, uint32_t size,
                                            uint32_t* attributes, uint64_t* time, uint64_t* bytes) {
    return Find(path, 0, name, size, attributes, time, bytes);
}

IMGACCESS_ITERATOR* IMAGE_ACCESS::FindFirstDirectory(const char* path, char* name, uint32_t size,
                                                     uint32_t* attributes, uint64_t* time) {
    return Find(path, IMGACCESS_ATTR_DIRECTORY, name, size, attributes, time, nullptr);
}

uint32_t IMAGE_ACCESS::GetFileInfo(const char* path, char* name, uint32_t size,
                                   uint32_t* attributes, uint64_t* time, uint64_t* bytes) {
    CopyText("", name, size);
    const char* slash = path != nullptr ? std::strrchr(path, '\\') : nullptr;
    if (slash == nullptr || slash[1] == '\0')
        return 0;
    const std::string directory(path, static_cast<size_t>(slash - path + 1));
    const char* wanted = slash + 1;
    char found[260] = {};
    uint32_t attr = 0;
    uint64_t when = 0, length = 0;
    IMGACCESS_ITERATOR* it =
        FindFirst(directory.c_str(), found, sizeof found, &attr, &when, &length);
    bool match = false;
    while (it != nullptr && !match) {
        match = strcasecmp(found, wanted) == 0;
        if (!match && !it->Next(found, sizeof found, &attr, &when, &length))
            break;
    }
    if (it != nullptr)
        it->Release();
    if (!match)
        return 0;
    CopyText(found, name, size);
    if (attributes != nullptr)
        *attributes = attr;
    if (time != nullptr && directory != "\\")
        *time = when; // root entries carry no time
    if (bytes != nullptr)
        *bytes = length;
    return 1;
}

IMGACCESS_FILEHANDLE* IMAGE_ACCESS::OpenFile(const char* path) {
    KWIPART_ACCESS* access = nullptr;
    std::string rest;
    if (path == nullptr || ResolvePath(path, &access, &rest) != KW_OK)
        return nullptr;
    auto* handle = new (std::nothrow) IMAGE_ACCESS_FILEHANDLE(this, access);
    if (handle == nullptr)
        return nullptr;
    if (handle->Open(rest) != KW_OK) {
        handle->Release();
        return nullptr;
    }
    return handle;
}

uint32_t IMAGE_ACCESS::GetDisplayName(const char* path, char* text, uint32_t size) {
    CopyText("", text, size);
    KWIPART_ACCESS* access = nullptr;
    std::string rest;
    uint32_t index = 0;
    if (path != nullptr && ParsePartitionPath(path, &index, nullptr) == KW_OK &&
        index < partCount_ && damage_[index] != KW_OK) {
        CopyText("*: (Damaged)", text, size); // its record cannot be trusted for a name
        return 1;
    }
    if (path == nullptr || ResolvePath(path, &access, &rest) != KW_OK)
        return 0;
    if (store_->SelectPart(access->GetPartIndex()) != 0)
        return 0;
    uint32_t letter = store_->GetDriveLetter() & 0xFF;
    char name[33] = {};
    store_->GetPartName(name, sizeof name);
    char display[64];
    std::snprintf(display, sizeof display, "%c: (%s)",
                  letter != 0 ? static_cast<char>(letter) : '*',
                  name[0] != '\0' ? name : "No name");
    CopyText(display, text, size);
    return 1;
}

uint32_t IMAGE_ACCESS::GetPartitionIndex(const char* path, uint32_t* index) {
    uint32_t value = 0;
    kwRet rc = ParsePartitionPath(path, &value, nullptr);
    if (index != nullptr)
        *index = rc == KW_OK ? value : 0;
    return rc;
}

uint32_t IMAGE_ACCESS::SaveChanges(const char* path) {
    return SavePartitionChangesTo(path, changeFile_.c_str());
}

uint32_t IMAGE_ACCESS::SaveAllChanges() {
    return SaveAllChangesTo(changeFile_.c_str());
}

uint32_t IMAGE_ACCESS::SavePartitionChangesTo(const char* path, const char* changeFile) {
    KWIPART_ACCESS* access = nullptr;
    std::string rest;
    kwRet rc = path != nullptr ? ResolvePath(path, &access, &rest) : ERR_INVALID_PATH;
    return rc != KW_OK ? rc : access->SaveChanges(changeFile);
}

uint32_t IMAGE_ACCESS::SaveAllChangesTo(const char* changeFile) {
    for (uint32_t i = 0; i < partCount_; ++i) {
        if (parts_[i] == nullptr)
            continue; // a damaged partition has no changes
        kwRet rc = parts_[i]->SaveChanges(changeFile);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

} // namespace kw::imgaccess

IMGACCESS* CreateImageAccess(const char* imagePath, const char* changeFile,
                             IMGACCESS_UI_CALLBACK* callback, uint32_t* code) {
    uint32_t ignored = 0;
    code = code != nullptr ? code : &ignored;
    if (!kw::imgaccess::gHookInstalled) {
        kwSetKwiPhyRead(kwiPhyRead);
        kwSetUseKwiPhyRead(1);
        kw::imgaccess::gHookInstalled = true;
    }
    auto* image = new (std::nothrow) kw::imgaccess::IMAGE_ACCESS(imagePath, changeFile, callback);
    if (image == nullptr) {
        *code = ERR_IMG_NO_MEMORY;
        return nullptr;
    }
    *code = image->Open();
    if (*code != KW_OK) {
        image->Release();
        return nullptr;
    }
    return image;
}
