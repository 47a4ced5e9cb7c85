// Code pages: conversion of names between the engine's 8-bit code pages,
// UTF-8 (the host's text) and UTF-16, and case-insensitive comparison.
// The tables come from the "CODEPAGE_INFO" and "ALT_FORMS" sections of the
// engine resource file and live in process-wide lists until cpFreeTables.
#pragma once

#include <cstdint>

// Kinds of text. BIOS to MAC are 8-bit code pages served by a loaded table;
// UTF16 and UTF8 need no table. The host's own text (file names, terminal)
// is UTF-8.
enum CODEPAGE_KIND : std::uint16_t {
    CPKIND_BIOS = 0,
    CPKIND_DOS = 1,
    CPKIND_WIN = 2,
    CPKIND_UNIX = 3,
    CPKIND_MAC = 4,
    CPKIND_UTF16 = 7,
    CPKIND_UTF8 = 8,
};

inline constexpr std::uint32_t CP_NUMBER_UTF8 = 65001;

class altFormMapper;

// One loaded code page: its section block (copied, or borrowed from the
// resource image), the lead-byte list of a double-byte page and the reverse
// map from Unicode to codes that it builds at load.
class cpInfo {
public:
    cpInfo();
    ~cpInfo();
    cpInfo(const cpInfo&) = delete;
    cpInfo& operator=(const cpInfo&) = delete;

    // Parses and checks a block; false (and an empty table) when it is malformed.
    bool Load(const std::uint8_t* block, std::uint32_t length, const altFormMapper* alt, bool copy);
    // The Unicode value of the character at p (a NUL-terminated text).
    std::uint16_t ToUnicode(const std::uint8_t* p) const;
    // Appends the bytes of c (or of its alternate form, or "?") to out when
    // they fit together with a terminator inside size; false otherwise.
    bool FromUnicode(std::uint16_t c, std::uint8_t* out, std::uint32_t* outLen,
                     std::uint32_t size) const;
    const std::uint8_t* NextChar(const std::uint8_t* p) const;
    std::uint32_t GetCodePage() const { return codePage_; }
    bool IsDbcs() const { return dbcsCount_ > 0; }

private:
    struct Reverse {
        std::uint16_t code;
        std::uint16_t unicode;
    };
    bool parse(const std::uint8_t* block, std::uint32_t length);
    bool parseDbcs(const std::uint8_t* block, std::uint32_t length, std::uint32_t pos);
    bool buildLeadList(const std::uint8_t* ranges);
    bool buildReverse();
    void clear();
    bool isLead(std::uint8_t b) const { return leadIndex_[b] != 0xFF; }
    bool lookup(std::uint16_t c, std::uint16_t* code) const;

    const std::uint8_t* block_ = nullptr;
    bool ownsBlock_ = false;
    const altFormMapper* alt_ = nullptr;
    std::uint32_t codePage_ = 0;
    const std::uint8_t* singles_ = nullptr; // S entries of 4 bytes
    std::uint32_t singleCount_ = 0;
    const std::uint8_t* dbcsValues_ = nullptr; // D little-endian 16-bit values
    std::uint32_t dbcsCount_ = 0;
    std::uint32_t firstTrail_ = 0;
    std::uint32_t trailsPerLead_ = 0;
    std::uint8_t leadIndex_[256]; // position in the lead list, 0xFF: not a lead
    Reverse* reverse_ = nullptr;
    std::uint32_t reverseCount_ = 0;
};

// The alternate-form sets, in the order added; each set owns or borrows its
// pairs {character, alternate form}.
class altFormMapper {
public:
    altFormMapper() = default;
    ~altFormMapper();
    altFormMapper(const altFormMapper&) = delete;
    altFormMapper& operator=(const altFormMapper&) = delete;

    // pairs: count little-endian {character, form} pairs ascending by
    // character. Returns the new number of sets, 0 when refused.
    std::uint32_t Add(const char* name, const std::uint8_t* pairs, std::uint32_t count, bool copy);
    // The alternate form of c from the first set that holds it, or "?".
    std::uint16_t Lookup(std::uint16_t c) const;
    bool IsEmpty() const { return head_ == nullptr; }

private:
    struct Entry;
    Entry* head_ = nullptr;
    Entry* tail_ = nullptr;
    std::uint32_t count_ = 0;
};

// The loaded code pages, in the order loaded; owns the tables.
class cpInfoList {
public:
    cpInfoList() = default;
    ~cpInfoList();
    cpInfoList(const cpInfoList&) = delete;
    cpInfoList& operator=(const cpInfoList&) = delete;

    // Takes ownership of the table; the new count, 0 on no memory.
    std::uint32_t Add(cpInfo* table);
    cpInfo* FindByCodePage(std::uint32_t number) const;

private:
    struct Node;
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    std::uint32_t count_ = 0;
};

// One named section of a resource file. A length of 0 or below shares the
// data and length of the section at position -length.
struct CP_SECTION {
    const char* name;
    const std::uint8_t* data;
    std::int32_t length;
};

// Loads the code-page and alternate-form sections of a resource image and
// selects the host kind's table. copy: keep copies of the blocks instead of
// pointing into the image (which then must outlive the tables).
bool cpLoadResourceFile(const void* image, std::uint32_t size, std::uint32_t hostKind,
                        std::uint32_t copy);
// The same over an already split list of sections.
bool cpLoadSections(const CP_SECTION* sections, std::uint32_t count, std::uint32_t hostKind,
                    bool copy);
// Loads the sections of the resource image built into the engine (without
// copying: the image lives for the whole process).
bool cpLoadBuiltinTables(std::uint32_t hostKind);
// Splits a resource image into its sections (data pointers into the image,
// shares left as they are); the list comes from kwGetMemory and goes back
// through cpFreeResourceSections. False for a damaged image.
bool cpGetResourceSections(const void* image, std::uint32_t size, CP_SECTION** list,
                           std::uint32_t* count);
void cpFreeResourceSections(CP_SECTION** list);
// Destroys the global tables (engine tear-down).
void cpFreeTables();

std::uint32_t cpGetHostKind();
std::uint32_t cpGetCurrentCodePage();
void cpSetRunEnvironment(std::uint32_t value);
std::uint32_t cpGetRunEnvironment();
// The table serving a kind, null when none is loaded (always null for UTF-8/16).
const cpInfo* cpGetTable(std::uint32_t kind);

// Converts a NUL-terminated text of one kind into a buffer of size bytes in
// another. The result is always terminated inside the buffer (size 0 writes
// nothing); a character that does not fit ends the conversion. UTF-16 text
// is char16_t in host byte order.
void* cpConvertString(std::uint32_t targetKind, void* target, std::uint32_t sourceKind,
                      const void* source, std::uint32_t size);
// Compares at most n characters without case; negative, 0 or positive.
int cpCompareStrings(std::uint32_t kind, const void* s1, const void* s2, std::uint32_t n);
// Upper-cases one UTF-16 character. Mode 2 is the comparison mode; mode 0
// adds a few single-character cases; other modes use the range records only.
std::uint16_t cpFoldCase(std::uint16_t c, std::uint32_t mode);

bool cpIsDbcsCodePage(std::uint32_t codePage);
bool cpIsLeadByte(std::uint8_t b, std::uint32_t codePage);
