// Code-page tables: loading and checking a section block, single characters
// to and from Unicode, alternate forms and the list of loaded tables.
#include "engine/core/codepage.h"

#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

using kwbytes::LoadLe16;
using kwbytes::LoadLe32;

constexpr std::uint16_t kQuestion = 0x3F;
constexpr std::uint32_t kLeadOffset = 14; // 12 bytes: up to 6 ranges, ended by a 0 byte
constexpr std::uint32_t kSinglesOffset = 26;
constexpr std::uint8_t kNotLead = 0xFF;

// Binary search of count 4-byte pairs {key, value} ascending by key.
bool findPair(const std::uint8_t* pairs, std::uint32_t count, std::uint16_t key,
              std::uint16_t* value) {
    std::uint32_t lo = 0, hi = count;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        const std::uint16_t k = LoadLe16(pairs + 4 * mid);
        if (k == key) {
            *value = LoadLe16(pairs + 4 * mid + 2);
            return true;
        }
        if (k < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return false;
}

bool pairsAscend(const std::uint8_t* pairs, std::uint32_t count) {
    for (std::uint32_t i = 1; i < count; ++i) {
        if (LoadLe16(pairs + 4 * (i - 1)) >= LoadLe16(pairs + 4 * i))
            return false;
    }
    return true;
}

} // namespace

// ---- cpInfo ----------------------------------------------------------------

cpInfo::cpInfo() {
    std::memset(leadIndex_, kNotLead, sizeof leadIndex_);
}

cpInfo::~cpInfo() {
    clear();
}

void cpInfo::clear() {
    if (ownsBlock_)
        delete[] block_;
    delete[] reverse_;
    block_ = nullptr;
    ownsBlock_ = false;
    reverse_ = nullptr;
    reverseCount_ = 0;
    codePage_ = 0;
    singles_ = nullptr;
    singleCount_ = 0;
    dbcsValues_ = nullptr;
    dbcsCount_ = 0;
    firstTrail_ = 0;
    trailsPerLead_ = 0;
    std::memset(leadIndex_, kNotLead, sizeof leadIndex_);
}

bool cpInfo::Load(const std::uint8_t* block, std::uint32_t length, const altFormMapper* alt,
                  bool copy) {
    clear();
    if (block == nullptr || length < 4 || LoadLe32(block) != length)
        return false;
    if (copy) {
        auto* own = new (std::nothrow) std::uint8_t[length];
        if (own == nullptr)
            return false;
        std::memcpy(own, block, length);
        block = own;
        ownsBlock_ = true;
    }
    block_ = block;
    alt_ = alt;
    if (!parse(block, length) || !buildReverse()) {
        clear();
        return false;
    }
    return true;
}

bool cpInfo::parse(const std::uint8_t* block, std::uint32_t length) {
    if (length < kSinglesOffset + 8)
        return false;
    codePage_ = LoadLe32(block + 4);
    const std::uint32_t s = LoadLe32(block + kSinglesOffset);
    if (s > (length - kSinglesOffset - 8) / 4)
        return false;
    singles_ = block + kSinglesOffset + 4;
    singleCount_ = s;
    if (!pairsAscend(singles_, s) || (s > 0 && LoadLe16(singles_) == 0))
        return false;
    const std::uint32_t pos = kSinglesOffset + 4 + 4 * s;
    dbcsCount_ = LoadLe32(block + pos);
    if (dbcsCount_ == 0)
        return length == pos + 4;
    return parseDbcs(block, length, pos + 4);
}

// The double-byte part: first trail byte T, lead count L, L x (256 - T) values.
bool cpInfo::parseDbcs(const std::uint8_t* block, std::uint32_t length, std::uint32_t pos) {
    if (length - pos < 8)
        return false;
    firstTrail_ = LoadLe32(block + pos);
    const std::uint32_t leads = LoadLe32(block + pos + 4);
    // A trail byte of 0 would swallow the terminator.
    if (firstTrail_ == 0 || firstTrail_ > 255)
        return false;
    trailsPerLead_ = 256 - firstTrail_;
    if (static_cast<std::uint64_t>(leads) * trailsPerLead_ != dbcsCount_)
        return false;
    if (static_cast<std::uint64_t>(pos) + 8 + 2ull * dbcsCount_ != length)
        return false;
    dbcsValues_ = block + pos + 8;
    if (!buildLeadList(block + kLeadOffset))
        return false;
    std::uint32_t counted = 0;
    for (std::uint8_t idx : leadIndex_)
        counted += idx != kNotLead ? 1 : 0;
    // Every lead byte needs its row of values, and no row may lack a lead byte.
    return counted == leads;
}

bool cpInfo::buildLeadList(const std::uint8_t* ranges) {
    bool inRange[256] = {};
    bool any = false;
    for (int r = 0; r < 6 && ranges[2 * r] != 0; ++r) {
        const std::uint8_t first = ranges[2 * r], last = ranges[2 * r + 1];
        if (first < 0x20 || last < first)
            return false;
        for (unsigned b = first; b <= last; ++b)
            inRange[b] = true;
        any = true;
    }
    if (!any)
        return false;
    std::uint8_t next = 0;
    for (unsigned b = ranges[0]; b < 256; ++b) {
        if (inRange[b])
            leadIndex_[b] = next++;
    }
    return true;
}

bool cpInfo::buildReverse() {
    const std::uint32_t total = singleCount_ + dbcsCount_;
    reverse_ = new (std::nothrow) Reverse[total == 0 ? 1 : total];
    if (reverse_ == nullptr)
        return false;
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i < singleCount_; ++i)
        reverse_[n++] = {LoadLe16(singles_ + 4 * i), LoadLe16(singles_ + 4 * i + 2)};
    std::uint8_t leadOf[256] = {};
    for (unsigned b = 0; b < 256; ++b) {
        if (leadIndex_[b] != kNotLead)
            leadOf[leadIndex_[b]] = static_cast<std::uint8_t>(b);
    }
    for (std::uint32_t i = 0; i < dbcsCount_; ++i) {
        const std::uint16_t u = LoadLe16(dbcsValues_ + 2 * i);
        if (u == 0) // a cell the page leaves empty
            continue;
        const auto code = static_cast<std::uint16_t>(leadOf[i / trailsPerLead_] * 256 +
                                                     firstTrail_ + i % trailsPerLead_);
        reverse_[n++] = {code, u};
    }
    reverseCount_ = n;
    std::sort(reverse_, reverse_ + n, [](const Reverse& a, const Reverse& b) {
        return a.unicode != b.unicode ? a.unicode < b.unicode : a.code < b.code;
    });
    return true;
}

std::uint16_t cpInfo::ToUnicode(const std::uint8_t* p) const {
    const std::uint8_t b = p[0];
    if (b < 0x20)
        return b;
    // A lead byte followed by a byte below the first trail byte (the
    // terminator included) stands alone.
    if (dbcsCount_ > 0 && isLead(b) && p[1] >= firstTrail_) {
        const std::uint32_t index = leadIndex_[b] * trailsPerLead_ + (p[1] - firstTrail_);
        const std::uint16_t v = LoadLe16(dbcsValues_ + 2 * index);
        return v != 0 ? v : kQuestion;
    }
    std::uint16_t v = 0;
    if (findPair(singles_, singleCount_, b, &v) && v != 0)
        return v;
    return kQuestion;
}

bool cpInfo::lookup(std::uint16_t c, std::uint16_t* code) const {
    const Reverse* begin = reverse_;
    const Reverse* end = reverse_ + reverseCount_;
    const Reverse* it = std::lower_bound(
        begin, end, c, [](const Reverse& r, std::uint16_t u) { return r.unicode < u; });
    if (it == end || it->unicode != c)
        return false;
    *code = it->code;
    return true;
}

bool cpInfo::FromUnicode(std::uint16_t c, std::uint8_t* out, std::uint32_t* outLen,
                         std::uint32_t size) const {
    std::uint16_t code = c;
    if (c >= 0x20 && !lookup(c, &code)) {
        code = kQuestion;
        if (alt_ != nullptr && !alt_->IsEmpty()) {
            const std::uint16_t form = alt_->Lookup(c);
            if (form == kQuestion || !lookup(form, &code))
                code = kQuestion;
        }
    }
    const std::uint32_t n = code >= 256 ? 2 : 1;
    // The bytes and a terminator must fit.
    if (*outLen >= size || size - *outLen < n + 1)
        return false;
    if (n == 2)
        out[(*outLen)++] = static_cast<std::uint8_t>(code >> 8);
    out[(*outLen)++] = static_cast<std::uint8_t>(code);
    out[*outLen] = 0;
    return true;
}

const std::uint8_t* cpInfo::NextChar(const std::uint8_t* p) const {
    if (p == nullptr || *p == 0)
        return p;
    if (dbcsCount_ > 0 && isLead(*p) && p[1] >= firstTrail_)
        return p + 2;
    return p + 1;
}

// ---- altFormMapper ---------------------------------------------------------

struct altFormMapper::Entry {
    bool ownsData = false;
    char* name = nullptr;
    const std::uint8_t* pairs = nullptr;
    std::uint32_t count = 0;
    Entry* next = nullptr;
};

altFormMapper::~altFormMapper() {
    while (head_ != nullptr) {
        Entry* next = head_->next;
        if (head_->ownsData)
            delete[] head_->pairs;
        delete[] head_->name;
        delete head_;
        head_ = next;
    }
}

std::uint32_t altFormMapper::Add(const char* name, const std::uint8_t* pairs, std::uint32_t count,
                                 bool copy) {
    if (name == nullptr || *name == 0 || pairs == nullptr || count == 0 ||
        !pairsAscend(pairs, count))
        return 0;
    for (Entry* e = head_; e != nullptr; e = e->next) {
        if (std::strcmp(e->name, name) == 0)
            return 0;
    }
    auto* entry = new (std::nothrow) Entry;
    const std::size_t nameLen = std::strlen(name) + 1;
    char* nameCopy = new (std::nothrow) char[nameLen];
    std::uint8_t* data = copy ? new (std::nothrow) std::uint8_t[4ull * count] : nullptr;
    if (entry == nullptr || nameCopy == nullptr || (copy && data == nullptr)) {
        delete entry;
        delete[] nameCopy;
        delete[] data;
        return 0;
    }
    std::memcpy(nameCopy, name, nameLen);
    if (copy)
        std::memcpy(data, pairs, 4ull * count);
    *entry = {copy, nameCopy, copy ? data : pairs, count, nullptr};
    (tail_ != nullptr ? tail_->next : head_) = entry;
    tail_ = entry;
    return ++count_;
}

std::uint16_t altFormMapper::Lookup(std::uint16_t c) const {
    for (const Entry* e = head_; e != nullptr; e = e->next) {
        std::uint16_t form = 0;
        if (findPair(e->pairs, e->count, c, &form))
            return form;
    }
    return kQuestion;
}

// ---- cpInfoList ------------------------------------------------------------

struct cpInfoList::Node {
    cpInfo* table;
    Node* next;
};

cpInfoList::~cpInfoList() {
    while (head_ != nullptr) {
        Node* next = head_->next;
        delete head_->table;
        delete head_;
        head_ = next;
    }
}

std::uint32_t cpInfoList::Add(cpInfo* table) {
    auto* node = new (std::nothrow) Node{table, nullptr};
    if (node == nullptr)
        return 0;
    (tail_ != nullptr ? tail_->next : head_) = node;
    tail_ = node;
    return ++count_;
}

cpInfo* cpInfoList::FindByCodePage(std::uint32_t number) const {
    for (Node* n = head_; n != nullptr; n = n->next) {
        if (n->table->GetCodePage() == number)
            return n->table;
    }
    return nullptr;
}

// ---- double-byte code pages ------------------------------------------------

bool cpIsDbcsCodePage(std::uint32_t codePage) {
    return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

bool cpIsLeadByte(std::uint8_t b, std::uint32_t codePage) {
    switch (codePage) {
    case 932:
        return (b >= 0x81 && b <= 0x84) || (b >= 0x87 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEA) ||
               b == 0xED || b == 0xEE || (b >= 0xFA && b <= 0xFC);
    case 936:
        return b >= 0x81 && b <= 0xFE;
    case 949:
        return (b >= 0x81 && b <= 0xC8) || (b >= 0xCA && b <= 0xFD);
    case 950:
        return (b >= 0xA1 && b <= 0xC6) || (b >= 0xC9 && b <= 0xF9);
    default:
        return false;
    }
}
