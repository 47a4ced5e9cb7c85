// The engine's message resource: the byte layout of the resource file (a
// message directory, a section directory, the texts and the section data),
// its loader into the global CODEPAGE_INFO, and message lookup by id.
#pragma once

#include "engine/core/kwmemory.h"

#include <cstddef>
#include <cstdint>

inline constexpr char KW_RESOURCE_SIGNATURE[] = "Kestrelway resource file\x1A\n";
inline constexpr std::size_t KW_RESOURCE_SIGNATURE_LEN = 26;
inline constexpr std::uint32_t KW_RESOURCE_VERSION = 1;

// One entry of the message table.
struct KW_MESSAGE {
    std::uint32_t id;
    const char* text;
};

// One entry of the section table; a name the loader owns.
struct KW_SECTION {
    char* name;
    const std::uint8_t* data;
    std::int32_t length;
};

// One entry of a section directory as read from the image (name points into it).
struct KW_SECTION_DIR {
    const char* name;
    std::int32_t length;
};

// The engine's text resource: the message table and the named sections. The
// code-page tables are added beside them by the code-page layer. Owns the two
// tables and the section-name copies; owns the text and data areas only when
// they were copied out of the image.
class CODEPAGE_INFO : public KwEngineAlloc {
public:
    CODEPAGE_INFO();
    ~CODEPAGE_INFO();
    CODEPAGE_INFO(const CODEPAGE_INFO&) = delete;
    CODEPAGE_INFO& operator=(const CODEPAGE_INFO&) = delete;

    // Fills the message and section tables from a resource image. Without
    // copy, the image must outlive this object.
    bool LoadMessages(const std::uint8_t* image, std::size_t size, bool copy);
    void Clear();

    const char* GetMessage(std::uint32_t id) const;
    // The data of a named section; null when absent.
    const KW_SECTION* FindSection(const char* name) const;

    std::uint32_t MessageCount() const { return messageCount_; }
    const KW_MESSAGE* Messages() const { return messages_; }
    std::uint32_t SectionCount() const { return sectionCount_; }
    const KW_SECTION* Sections() const { return sections_; }
    bool OwnsCopies() const { return ownsCopies_; }

    static std::uint32_t LiveCount();

private:
    bool LoadSections(const std::uint8_t* image, const KW_SECTION_DIR* dir, std::uint32_t dirCount,
                      std::size_t dataOffset, std::size_t dataSize, bool copy);

    KW_MESSAGE* messages_ = nullptr;
    std::uint32_t messageCount_ = 0;
    KW_SECTION* sections_ = nullptr;
    std::uint32_t sectionCount_ = 0;
    char* textArea_ = nullptr;
    std::uint8_t* dataArea_ = nullptr;
    bool ownsCopies_ = false;
};

// The global instance, created at engine set-up (null before).
extern CODEPAGE_INFO* gCodePageInfo;

// The resource image built into the program.
void GetEngineResource(const std::uint8_t** image, std::uint32_t* size);

// Reads and checks the header of a resource image. Every out argument is
// optional; *offset is where the message texts start. The section directory,
// when asked for, is a kwGetMemory array the caller frees.
bool cpReadResourceHeader(const std::uint8_t* image, std::size_t size, std::size_t* offset,
                          std::uint32_t* version, std::uint32_t* messageCount,
                          std::uint32_t* textSize, const std::uint8_t** messageDir,
                          std::uint32_t* sectionCount, std::size_t* sectionDataSize,
                          KW_SECTION_DIR** sectionDir);

// Loads into the global CODEPAGE_INFO (created when missing).
bool cpLoadMessages(const std::uint8_t* image, std::size_t size, bool copy);
const char* cpGetMessage(std::uint32_t id);
