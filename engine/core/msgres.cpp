// The resource-file reader: header checks, the message table and the named
// sections. Every index and length read from the image is checked against the
// image before it is used; a damaged image fails the load as a whole.
#include "engine/core/msgres.h"

#include "engine/core/codepage.h"
#include "include/kwbytes.h"

#include <cstdlib>
#include <cstring>
#include <vector>

CODEPAGE_INFO* gCodePageInfo = nullptr;

namespace {

std::uint32_t gLiveCount = 0;

// A bounds-checked little-endian reader over the image.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;

    bool U32(std::uint32_t* v) {
        if (size - pos < 4 || pos > size)
            return false;
        const std::uint8_t* p = data + pos;
        *v = kwbytes::LoadLe32(p);
        pos += 4;
        return true;
    }
    bool I32(std::int32_t* v) {
        std::uint32_t u = 0;
        if (!U32(&u))
            return false;
        *v = static_cast<std::int32_t>(u);
        return true;
    }
    // A NUL-terminated text inside the image.
    bool Text(const char** text) {
        const void* nul = pos < size ? std::memchr(data + pos, 0, size - pos) : nullptr;
        if (nul == nullptr)
            return false;
        *text = reinterpret_cast<const char*>(data + pos);
        pos = static_cast<const std::uint8_t*>(nul) - data + 1;
        return true;
    }
};

// The position a non-positive length shares with; -1 when it is invalid.
long long ShareTarget(std::int32_t length, std::uint32_t count) {
    long long target = -static_cast<long long>(length);
    return target < static_cast<long long>(count) ? target : -1;
}

struct HeaderOut {
    std::size_t offset = 0;
    std::uint32_t version = 0, messageCount = 0, textSize = 0, sectionCount = 0;
    const std::uint8_t* messageDir = nullptr;
    std::size_t sectionDataSize = 0;
    KW_SECTION_DIR* sectionDir = nullptr;
};

bool ReadSectionDir(Reader* r, std::uint32_t count, bool keep, KW_SECTION_DIR** out) {
    KW_SECTION_DIR* dir = nullptr;
    if (keep && count > 0) {
        if (count > r->size / 5) // every entry needs at least 5 bytes
            return false;
        if (kwGetMemory(static_cast<std::uint32_t>(count * sizeof(KW_SECTION_DIR)), &dir) != KW_OK)
            return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const char* name = nullptr;
        std::int32_t length = 0;
        if (!r->Text(&name) || !r->I32(&length)) {
            kwFreeMemory(&dir);
            return false;
        }
        if (dir != nullptr)
            dir[i] = {name, length};
    }
    *out = dir;
    return true;
}

bool ReadHeader(const std::uint8_t* image, std::size_t size, bool wantDir, HeaderOut* h) {
    if (image == nullptr || size <= KW_RESOURCE_SIGNATURE_LEN + 4 ||
        std::memcmp(image, KW_RESOURCE_SIGNATURE, KW_RESOURCE_SIGNATURE_LEN) != 0)
        return false;
    Reader r{image, size, KW_RESOURCE_SIGNATURE_LEN};
    std::uint32_t total = 0;
    if (!r.U32(&h->version) || h->version != KW_RESOURCE_VERSION || !r.U32(&total) ||
        total != size || !r.U32(&h->messageCount) || !r.U32(&h->textSize))
        return false;
    if (h->messageCount > (size - r.pos) / 8)
        return false;
    h->messageDir = image + r.pos;
    r.pos += static_cast<std::size_t>(h->messageCount) * 8;
    if (!r.U32(&h->sectionCount) || !ReadSectionDir(&r, h->sectionCount, wantDir, &h->sectionDir))
        return false;
    if (h->textSize > size - r.pos) {
        kwFreeMemory(&h->sectionDir);
        return false;
    }
    h->sectionDataSize = size - r.pos - h->textSize;
    h->offset = r.pos;
    return true;
}

} // namespace

bool cpReadResourceHeader(const std::uint8_t* image, std::size_t size, std::size_t* offset,
                          std::uint32_t* version, std::uint32_t* messageCount,
                          std::uint32_t* textSize, const std::uint8_t** messageDir,
                          std::uint32_t* sectionCount, std::size_t* sectionDataSize,
                          KW_SECTION_DIR** sectionDir) {
    HeaderOut h;
    if (!ReadHeader(image, size, sectionDir != nullptr, &h))
        h = HeaderOut{};
    bool ok = h.version != 0;
    if (offset != nullptr)
        *offset = ok ? h.offset : 0;
    if (version != nullptr)
        *version = h.version;
    if (messageCount != nullptr)
        *messageCount = h.messageCount;
    if (textSize != nullptr)
        *textSize = h.textSize;
    if (messageDir != nullptr)
        *messageDir = h.messageDir;
    if (sectionCount != nullptr)
        *sectionCount = h.sectionCount;
    if (sectionDataSize != nullptr)
        *sectionDataSize = h.sectionDataSize;
    if (sectionDir != nullptr)
        *sectionDir = h.sectionDir;
    return ok;
}

// ---------------------------------------------------------------- CODEPAGE_INFO

CODEPAGE_INFO::CODEPAGE_INFO() {
    ++gLiveCount;
}

CODEPAGE_INFO::~CODEPAGE_INFO() {
    Clear();
    // The code-page tables live as long as any text resource.
    if (--gLiveCount == 0)
        cpFreeTables();
}

std::uint32_t CODEPAGE_INFO::LiveCount() {
    return gLiveCount;
}

void CODEPAGE_INFO::Clear() {
    for (std::uint32_t i = 0; i < sectionCount_; ++i)
        std::free(sections_[i].name);
    std::free(sections_);
    std::free(messages_);
    if (ownsCopies_) {
        std::free(textArea_);
        std::free(dataArea_);
    }
    messages_ = nullptr;
    sections_ = nullptr;
    textArea_ = nullptr;
    dataArea_ = nullptr;
    messageCount_ = sectionCount_ = 0;
    ownsCopies_ = false;
}

namespace {

std::int32_t DirLength(const HeaderOut& h, std::size_t i) {
    return static_cast<std::int32_t>(kwbytes::LoadLe32(h.messageDir + 8 * i + 4));
}

// Finds every message's text in the text area: ids strictly ascending, each
// own text exactly its length and inside the area, each share pointing at an
// entry with a text of its own.
bool ResolveMessageTexts(const HeaderOut& h, const char* texts,
                         std::vector<const char*>* resolved) {
    const std::uint32_t n = h.messageCount;
    resolved->assign(n, nullptr);
    std::size_t place = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (i > 0 && kwbytes::LoadLe32(h.messageDir + 8 * i) <=
                         kwbytes::LoadLe32(h.messageDir + 8 * (i - 1)))
            return false;
        std::int32_t length = DirLength(h, i);
        if (length <= 0)
            continue;
        std::size_t len = static_cast<std::size_t>(length);
        if (len >= h.textSize - place || texts[place + len] != '\0' ||
            std::strlen(texts + place) != len)
            return false;
        (*resolved)[i] = texts + place;
        place += len + 1;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        std::int32_t length = DirLength(h, i);
        if (length > 0)
            continue;
        long long t = ShareTarget(length, n);
        if (t < 0 || DirLength(h, static_cast<std::size_t>(t)) <= 0)
            return false;
        (*resolved)[i] = (*resolved)[t];
    }
    return true;
}

// Places every section's block in the data area (shares by directory
// position); the blocks of their own must fill the area exactly.
bool ResolveSectionBlocks(const KW_SECTION_DIR* dir, std::uint32_t count, std::size_t dataSize,
                          std::vector<std::size_t>* start, std::vector<std::int32_t>* length) {
    start->assign(count, 0);
    length->assign(count, 0);
    std::size_t place = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (dir[i].length <= 0)
            continue;
        std::size_t len = static_cast<std::size_t>(dir[i].length);
        if (len > dataSize - place)
            return false;
        (*start)[i] = place;
        (*length)[i] = dir[i].length;
        place += len;
    }
    if (place != dataSize)
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (dir[i].length > 0)
            continue;
        long long t = ShareTarget(dir[i].length, count);
        if (t < 0 || dir[t].length <= 0)
            return false;
        (*start)[i] = (*start)[t];
        (*length)[i] = (*length)[t];
    }
    return true;
}

// The code-page layer keeps these sections itself.
bool IsCodePageSection(const char* name) {
    return std::strncmp(name, "CODEPAGE_INFO", 13) == 0 || std::strncmp(name, "ALT_FORMS", 9) == 0;
}

} // namespace

bool CODEPAGE_INFO::LoadMessages(const std::uint8_t* image, std::size_t size, bool copy) {
    Clear();
    HeaderOut h;
    if (!ReadHeader(image, size, true, &h))
        return false;
    const std::uint32_t n = h.messageCount;
    const char* texts = reinterpret_cast<const char*>(image + h.offset);
    std::vector<const char*> resolved;
    bool ok = ResolveMessageTexts(h, texts, &resolved);
    ownsCopies_ = copy;
    if (ok && n > 0) {
        messages_ = static_cast<KW_MESSAGE*>(std::calloc(n, sizeof(KW_MESSAGE)));
        if (copy && h.textSize > 0)
            textArea_ = static_cast<char*>(std::malloc(h.textSize));
        ok = messages_ != nullptr && (!copy || h.textSize == 0 || textArea_ != nullptr);
    }
    if (ok) {
        if (textArea_ != nullptr)
            std::memcpy(textArea_, texts, h.textSize);
        for (std::uint32_t i = 0; i < n; ++i) {
            messages_[i].id = kwbytes::LoadLe32(h.messageDir + 8 * i);
            messages_[i].text = copy ? textArea_ + (resolved[i] - texts) : resolved[i];
        }
        messageCount_ = n;
        ok = LoadSections(image, h.sectionDir, h.sectionCount, h.offset + h.textSize,
                          h.sectionDataSize, copy);
    }
    kwFreeMemory(&h.sectionDir);
    if (!ok)
        Clear();
    return ok;
}

bool CODEPAGE_INFO::LoadSections(const std::uint8_t* image, const KW_SECTION_DIR* dir,
                                 std::uint32_t count, std::size_t dataOffset, std::size_t dataSize,
                                 bool copy) {
    std::vector<std::size_t> start;
    std::vector<std::int32_t> length;
    if (!ResolveSectionBlocks(dir, count, dataSize, &start, &length))
        return false;
    std::uint32_t keptCount = 0;
    std::size_t keptBytes = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!copy || !IsCodePageSection(dir[i].name)) {
            ++keptCount;
            keptBytes += static_cast<std::size_t>(length[i]);
        }
    }
    if (keptCount == 0)
        return true;
    sections_ = static_cast<KW_SECTION*>(std::calloc(keptCount, sizeof(KW_SECTION)));
    if (sections_ == nullptr ||
        (copy && keptBytes > 0 &&
         (dataArea_ = static_cast<std::uint8_t*>(std::malloc(keptBytes))) == nullptr))
        return false;
    const std::uint8_t* data = image + dataOffset;
    std::size_t copied = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (copy && IsCodePageSection(dir[i].name))
            continue;
        KW_SECTION& s = sections_[sectionCount_];
        if ((s.name = strdup(dir[i].name)) == nullptr)
            return false;
        ++sectionCount_;
        s.length = length[i];
        s.data = data + start[i];
        if (copy) {
            std::memcpy(dataArea_ + copied, s.data, static_cast<std::size_t>(length[i]));
            s.data = dataArea_ + copied;
            copied += static_cast<std::size_t>(length[i]);
        }
    }
    return true;
}

const char* CODEPAGE_INFO::GetMessage(std::uint32_t id) const {
    std::uint32_t low = 0;
    std::uint32_t high = messageCount_;
    while (low < high) {
        std::uint32_t middle = low + (high - low) / 2;
        if (messages_[middle].id == id)
            return messages_[middle].text;
        if (id > messages_[middle].id)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

const KW_SECTION* CODEPAGE_INFO::FindSection(const char* name) const {
    for (std::uint32_t i = 0; i < sectionCount_; ++i)
        if (std::strcmp(sections_[i].name, name) == 0)
            return &sections_[i];
    return nullptr;
}

bool cpLoadMessages(const std::uint8_t* image, std::size_t size, bool copy) {
    if (gCodePageInfo == nullptr) {
        gCodePageInfo = new CODEPAGE_INFO;
        if (gCodePageInfo == nullptr)
            return false;
    }
    return gCodePageInfo->LoadMessages(image, size, copy);
}

const char* cpGetMessage(std::uint32_t id) {
    return gCodePageInfo != nullptr ? gCodePageInfo->GetMessage(id) : nullptr;
}
