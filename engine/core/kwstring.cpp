// KWString: narrow text converts through the engine's code pages.
#include "include/kwstring.h"

#include "engine/core/codepage.h"

#include <cstring>
#include <new>

namespace {

std::uint16_t gDefaultKind = CPKIND_WIN;

// The largest string SetAt grows to, in characters.
constexpr std::uint64_t kMaxCapacity = 1u << 28;

std::uint32_t wideLength(const char16_t* s) {
    std::uint32_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Bytes of room per UTF-16 unit when converting to a kind.
std::uint32_t bytesPerUnit(std::uint16_t kind) {
    return kind == CPKIND_UTF8 ? 3 : 2;
}

char* duplicate(const char* text, std::size_t n) {
    char* copy = new (std::nothrow) char[n + 1];
    if (copy != nullptr) {
        std::memcpy(copy, text, n);
        copy[n] = 0;
    }
    return copy;
}

KWString::UniData* newPayload(std::uint32_t capacity) {
    auto* p = new (std::nothrow) KWString::UniData;
    if (p == nullptr)
        return nullptr;
    p->buffer = new (std::nothrow) char16_t[capacity];
    if (p->buffer == nullptr) {
        delete p;
        return nullptr;
    }
    p->capacity = capacity;
    p->buffer[0] = 0;
    return p;
}

// The next multiple of m strictly above n.
std::uint64_t nextMultiple(std::uint64_t n, std::uint64_t m) {
    return (n / m + 1) * m;
}

} // namespace

std::uint16_t KWString::DefaultKind() {
    return gDefaultKind;
}

void KWString::SetDefaultKind(std::uint16_t kind) {
    gDefaultKind = kind != 0 ? kind : static_cast<std::uint16_t>(CPKIND_WIN);
}

KWString::KWString() : kind_(gDefaultKind) {}

KWString::KWString(const KWString& other) : payload_(other.payload_), kind_(other.kind_) {}

KWString::KWString(const char* text, int length, std::uint16_t kind) : kind_(gDefaultKind) {
    if (length < 1 || text == nullptr)
        SetNarrow(text, kind, true);
    else
        SetNarrowRange(text, text + length, kind);
}

KWString::~KWString() {
    FreeNarrow();
}

KWString KWString::Borrow(UniData* payload) {
    KWString s;
    s.payload_ = SmartUDTPtr(payload, SmartUDTPtr::BORROWED);
    return s;
}

void KWString::FreeNarrow() const {
    if (ownsNarrow_)
        delete[] narrow_;
    narrow_ = nullptr;
    ownsNarrow_ = false;
    narrowKind_ = 0;
}

void KWString::SetNarrow(const char* text, std::uint16_t kind, bool copy) {
    // The old narrow copy goes last: the text may be that copy.
    char* old = ownsNarrow_ ? narrow_ : nullptr;
    ownsNarrow_ = false;
    FreeNarrow();
    kind_ = kind != 0 ? kind : gDefaultKind;
    payload_.Release();
    if (text != nullptr)
        convertNarrow(text, copy);
    delete[] old;
}

void KWString::convertNarrow(const char* text, bool copy) {
    const std::size_t n = std::strlen(text);
    if (n >= 0xFFFFFFFFu)
        return;
    const auto capacity = static_cast<std::uint32_t>(n + 1);
    char* narrow = copy ? duplicate(text, n) : const_cast<char*>(text);
    UniData* p = narrow != nullptr ? newPayload(capacity) : nullptr;
    // A UTF-16 result never has more units than the text has bytes.
    if (p != nullptr) {
        cpConvertString(CPKIND_UTF16, p->buffer, kind_, text, capacity * 2);
        p->length = wideLength(p->buffer);
    }
    if (p == nullptr || !payload_.Reset(p)) {
        if (copy)
            delete[] narrow;
        return;
    }
    narrow_ = narrow;
    ownsNarrow_ = copy;
    narrowKind_ = kind_;
}

void KWString::SetNarrowRange(const char* first, const char* end, std::uint16_t kind) {
    if (first == nullptr || end < first) {
        SetNarrow(nullptr, kind, true);
        return;
    }
    char* copy = duplicate(first, static_cast<std::size_t>(end - first));
    if (copy == nullptr) {
        SetNarrow(nullptr, kind, true);
        return;
    }
    SetNarrow(copy, kind, false);
    ownsNarrow_ = narrow_ == copy;
    if (!ownsNarrow_)
        delete[] copy;
}

void KWString::SetWide(const char16_t* text) {
    const KWString keep(*this); // the text may be this string's own
    FreeNarrow();
    payload_.Release();
    if (text != nullptr)
        setWideRange(text, wideLength(text), nullptr, 0);
}

// Gives the string a new payload holding a followed by b; false (string
// unchanged) when memory runs out.
bool KWString::setWideRange(const char16_t* a, std::uint32_t na, const char16_t* b,
                            std::uint32_t nb) {
    const std::uint64_t total = static_cast<std::uint64_t>(na) + nb;
    if (total + 1 > kMaxCapacity)
        return false;
    UniData* p = newPayload(static_cast<std::uint32_t>(total + 1));
    if (p == nullptr)
        return false;
    if (na > 0)
        std::memcpy(p->buffer, a, na * sizeof(char16_t));
    if (nb > 0)
        std::memcpy(p->buffer + na, b, nb * sizeof(char16_t));
    p->buffer[total] = 0;
    p->length = static_cast<std::uint32_t>(total);
    FreeNarrow();
    return payload_.Reset(p);
}

const char* KWString::GetAnsi(std::uint16_t kind) const {
    const UniData* p = data();
    if (p == nullptr || p->buffer == nullptr || p->length == 0xFFFFFFFFu)
        return nullptr;
    if (kind == 0)
        kind = kind_;
    if (narrow_ != nullptr && narrowKind_ == kind)
        return narrow_;
    FreeNarrow();
    const std::uint64_t size = static_cast<std::uint64_t>(p->length) * bytesPerUnit(kind) + 1;
    if (size > 0xFFFFFFFFu)
        return nullptr;
    char* out = new (std::nothrow) char[size];
    if (out == nullptr)
        return nullptr;
    cpConvertString(kind, out, CPKIND_UTF16, p->buffer, static_cast<std::uint32_t>(size));
    narrow_ = out;
    ownsNarrow_ = true;
    narrowKind_ = kind;
    return narrow_;
}

bool KWString::isEmpty() const {
    const UniData* p = data();
    return p == nullptr || p->buffer == nullptr || p->length == 0;
}

int KWString::GetState() const {
    const UniData* p = data();
    if (p == nullptr || payload_.IsCounted())
        return 0;
    if (narrow_ != nullptr)
        return 2;
    return p->length == 0xFFFFFFFFu ? 3 : 1;
}

bool KWString::isReadOnly() const {
    const int state = GetState();
    return state == 2 || state == 3;
}

KWString& KWString::operator=(const char* text) {
    return Assign(text, 0);
}

KWString& KWString::Assign(const char* text, std::uint16_t kind) {
    if (!isReadOnly())
        SetNarrow(text, kind, true);
    return *this;
}

KWString& KWString::operator=(const char16_t* text) {
    SetWide(text);
    return *this;
}

KWString& KWString::operator=(const KWString& other) {
    if (this == &other || isReadOnly())
        return *this;
    if (GetState() == 0 && other.GetState() == 0) {
        FreeNarrow();
        payload_ = other.payload_;
        kind_ = other.kind_;
        return *this;
    }
    if (other.narrow_ != nullptr) {
        // Copy first: the source's narrow text may be this string's own.
        char* copy = duplicate(other.narrow_, std::strlen(other.narrow_));
        if (copy == nullptr) {
            SetNarrow(nullptr, other.narrowKind_, true);
            return *this;
        }
        SetNarrow(copy, other.narrowKind_, true);
        delete[] copy;
    } else {
        const KWString keep(other); // holds the source's payload while it is copied
        SetWide(keep.Wide());
    }
    return *this;
}

KWString& KWString::operator+=(const char16_t* text) {
    if (isReadOnly() || text == nullptr || text[0] == 0)
        return *this;
    const KWString keep(*this); // the argument may point into this string
    if (isEmpty())
        setWideRange(text, wideLength(text), nullptr, 0);
    else
        setWideRange(data()->buffer, data()->length, text, wideLength(text));
    return *this;
}

KWString& KWString::operator+=(const KWString& other) {
    return *this += other.Wide();
}

bool KWString::operator==(const char16_t* text) const {
    const bool otherEmpty = text == nullptr || text[0] == 0;
    if (isEmpty() || otherEmpty)
        return isEmpty() && otherEmpty;
    const UniData* p = data();
    return wideLength(text) == p->length &&
           std::memcmp(p->buffer, text, p->length * sizeof(char16_t)) == 0;
}

void KWString::MakeUnique() {
    UniData* p = data();
    if (p == nullptr || p->buffer == nullptr || p->length == 0xFFFFFFFFu)
        return;
    if (payload_.IsCounted() && payload_.Count() == 1)
        return;
    // Shared or borrowed: take a copy of our own.
    UniData* own = newPayload(p->capacity > p->length ? p->capacity : p->length + 1);
    if (own == nullptr)
        return;
    std::memcpy(own->buffer, p->buffer, (p->length + 1) * sizeof(char16_t));
    own->length = p->length;
    payload_.Reset(own);
}

bool KWString::grow(std::uint32_t index) {
    UniData* p = data();
    const std::uint64_t n = static_cast<std::uint64_t>(index) + 2;
    std::uint64_t capacity;
    if (n >= static_cast<std::uint64_t>(p->capacity) + 16)
        capacity = nextMultiple(n, 128);
    else
        capacity = nextMultiple(n, n < 256 ? 64 : n < 1024 ? 256 : n < 8192 ? 1024 : 4096);
    if (capacity > kMaxCapacity)
        return false;
    auto* buffer = new (std::nothrow) char16_t[capacity];
    if (buffer == nullptr)
        return false;
    std::memcpy(buffer, p->buffer, p->length * sizeof(char16_t));
    delete[] p->buffer;
    p->buffer = buffer;
    p->capacity = static_cast<std::uint32_t>(capacity);
    return true;
}

void KWString::SetAt(int index, char16_t c) {
    if (index < 0 || data() == nullptr || data()->buffer == nullptr || isReadOnly())
        return;
    MakeUnique();
    if (!payload_.IsCounted() || payload_.Count() != 1)
        return; // no memory for a copy of our own
    FreeNarrow();
    UniData* p = data();
    const auto i = static_cast<std::uint32_t>(index);
    if (i + 1 >= p->capacity && !grow(i))
        return;
    if (i >= p->length) {
        for (std::uint32_t k = p->length; k < i; ++k)
            p->buffer[k] = u' ';
        p->buffer[i + 1] = 0;
        p->length = i + 1;
    }
    p->buffer[i] = c;
}

char16_t KWString::CharRef::Get() const {
    if (index_ < 0 || static_cast<std::uint32_t>(index_) >= s_->Length())
        return 0;
    return s_->Wide()[index_];
}

const char16_t* KWString::Wide() const {
    return isEmpty() ? u"" : data()->buffer;
}

std::uint32_t KWString::Length() const {
    return isEmpty() ? 0 : data()->length;
}

std::uint32_t KWString::Capacity() const {
    return data() != nullptr ? data()->capacity : 0;
}
