// KWString: the string of the engine and the editor. UTF-16 content in a
// shared, reference-counted payload (copies share it until one changes), plus
// a cached 8-bit copy in one kind of text (a code page or UTF-8). No Qt.
#pragma once

#include "smartptr.h"

#include <cstdint>

// The payload: a UTF-16 buffer it owns, the length in characters (without
// the terminator) and the capacity in characters (with it).
struct KWStringUniData {
    char16_t* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t capacity = 0;

    KWStringUniData() = default;
    KWStringUniData(const KWStringUniData&) = delete;
    KWStringUniData& operator=(const KWStringUniData&) = delete;
    ~KWStringUniData() { delete[] buffer; }
};

// The holder of a KWString payload.
class SmartUDTPtr : public SmartPtr<KWStringUniData> {
public:
    using SmartPtr<KWStringUniData>::SmartPtr;
};

// Owns its narrow copy (unless built over caller text without copying) and
// one reference to its payload.
class KWString {
public:
    using UniData = KWStringUniData;

    // A character of the string by index; Get gives 0 out of range.
    class CharRef {
    public:
        CharRef(KWString* s, int index) : s_(s), index_(index) {}
        char16_t Get() const;
        void Set(char16_t c) { s_->SetAt(index_, c); }

    private:
        KWString* s_;
        int index_;
    };

    KWString();
    KWString(const KWString& other);
    // length below 1: the whole NUL-terminated text; kind 0: the default kind.
    explicit KWString(const char* text, int length = 0, std::uint16_t kind = 0);
    virtual ~KWString();

    // A string over a payload that stays the caller's (read-only states).
    static KWString Borrow(UniData* payload);

    // The process-wide default kind (CPKIND_WIN at start).
    static std::uint16_t DefaultKind();
    static void SetDefaultKind(std::uint16_t kind);

    void SetNarrow(const char* text, std::uint16_t kind, bool copy);
    void SetNarrowRange(const char* first, const char* end, std::uint16_t kind);
    void SetWide(const char16_t* text);
    const char* GetAnsi(std::uint16_t kind = 0) const;
    const char* c_str() const { return GetAnsi(0); }
    void FreeNarrow() const;

    KWString& operator=(const char* text);
    KWString& Assign(const char* text, std::uint16_t kind);
    KWString& operator=(const char16_t* text);
    KWString& operator=(const KWString& other);
    KWString& operator+=(const char16_t* text);
    KWString& operator+=(const KWString& other);

    bool operator==(const char16_t* text) const;
    bool operator!=(const char16_t* text) const { return !(*this == text); }
    bool operator==(const KWString& other) const { return *this == other.Wide(); }
    bool operator!=(const KWString& other) const { return !(*this == other.Wide()); }

    void SetAt(int index, char16_t c);
    CharRef operator[](int index) { return CharRef(this, index); }

    // 0 empty or owned; borrowed payload: 2 with a narrow copy, 3 with the
    // length 0xFFFFFFFF, else 1. States 2 and 3 are read-only.
    int GetState() const;
    void MakeUnique();

    // The UTF-16 text (never null) and its length.
    const char16_t* Wide() const;
    std::uint32_t Length() const;
    std::uint32_t Capacity() const;
    std::uint16_t Kind() const { return kind_; }
    // Whether two strings share one payload.
    bool SharesWith(const KWString& other) const { return data() && data() == other.data(); }

private:
    UniData* data() const { return payload_.Get(); }
    bool isEmpty() const;
    bool isReadOnly() const;
    void convertNarrow(const char* text, bool copy);
    bool setWideRange(const char16_t* a, std::uint32_t na, const char16_t* b, std::uint32_t nb);
    bool grow(std::uint32_t index);

    SmartUDTPtr payload_;
    mutable char* narrow_ = nullptr;
    mutable bool ownsNarrow_ = false;
    std::uint16_t kind_;
    mutable std::uint16_t narrowKind_ = 0;
};
