#include "engine/fs/dirlist.h"

#include <cstring>
#include <new>

namespace {

// The array starts with room for this many entries and doubles when full, so
// listing a small folder allocates little and a large one copies few times.
constexpr uint32_t kFirstCapacity = 64;

} // namespace

DIRLIST::~DIRLIST() {
    Clear();
}

void DIRLIST::Clear() {
    for (uint32_t i = 0; i < count_; ++i)
        delete[] entries_[i].name;
    delete[] entries_;
    entries_ = nullptr;
    count_ = capacity_ = 0;
}

kwRet DIRLIST::grow() {
    if (capacity_ > UINT32_MAX / 2)
        return ERR_NO_MEMORY;
    const uint32_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
    auto* entries = new (std::nothrow) DIRLIST_ENTRY[capacity];
    if (entries == nullptr)
        return ERR_NO_MEMORY;
    for (uint32_t i = 0; i < count_; ++i)
        entries[i] = entries_[i];
    delete[] entries_;
    entries_ = entries;
    capacity_ = capacity;
    return KW_OK;
}

kwRet DIRLIST::AddEntry(const char* name, uint32_t attributes, uint32_t sizeLow, uint32_t sizeHigh,
                        const KW_DATE* date, const KW_TIME* time, uint32_t extra,
                        const char* shortName) {
    if (name == nullptr)
        return ERR_BAD_ARGUMENT;
    if (count_ == capacity_ && grow() != KW_OK)
        return ERR_NO_MEMORY;
    size_t length = std::strlen(name);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy == nullptr)
        return ERR_NO_MEMORY;
    std::memcpy(copy, name, length + 1);
    DIRLIST_ENTRY& e = entries_[count_++];
    e = DIRLIST_ENTRY{};
    e.name = copy;
    e.attributes = attributes;
    e.sizeLow = sizeLow;
    e.sizeHigh = sizeHigh;
    if (date != nullptr)
        e.date = *date;
    if (time != nullptr)
        e.time = *time;
    e.extra = extra;
    if (shortName != nullptr) {
        std::strncpy(e.shortName, shortName, sizeof e.shortName - 1);
        e.shortName[sizeof e.shortName - 1] = '\0';
    }
    return KW_OK;
}

const DIRLIST_ENTRY* DIRLIST::Entry(uint32_t index) const {
    return index < count_ ? &entries_[index] : nullptr;
}

kwRet DIRLIST::GetEntry(uint32_t index, char* name, uint32_t nameSize, uint32_t* attributes,
                        uint64_t* size, KW_DATE* date, KW_TIME* time, uint32_t* extra) const {
    const DIRLIST_ENTRY* e = Entry(index);
    if (e == nullptr)
        return ERR_ILLEGAL_OPERATION;
    if (name != nullptr && nameSize > 0) {
        std::strncpy(name, e->name, nameSize - 1);
        name[nameSize - 1] = '\0';
    }
    if (attributes != nullptr)
        *attributes = e->attributes;
    if (size != nullptr)
        *size = e->Size();
    if (date != nullptr)
        *date = e->date;
    if (time != nullptr)
        *time = e->time;
    if (extra != nullptr)
        *extra = e->extra;
    return KW_OK;
}
