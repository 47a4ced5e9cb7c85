// The code-page sections of an engine resource image: splitting the image
// into sections and loading them.
#include "engine/core/codepage.h"
#include "engine/core/kwmemory.h"
#include "engine/core/msgres.h"

bool cpGetResourceSections(const void* image, std::uint32_t size, CP_SECTION** list,
                           std::uint32_t* count) {
    *list = nullptr;
    *count = 0;
    const auto* bytes = static_cast<const std::uint8_t*>(image);
    std::size_t offset = 0, dataSize = 0;
    std::uint32_t textSize = 0, n = 0;
    KW_SECTION_DIR* dir = nullptr;
    if (!cpReadResourceHeader(bytes, size, &offset, nullptr, nullptr, &textSize, nullptr, &n,
                              &dataSize, &dir) ||
        n == 0) {
        kwFreeMemory(&dir);
        return false;
    }
    CP_SECTION* sections = nullptr;
    if (dir == nullptr ||
        kwGetMemory(n * static_cast<std::uint32_t>(sizeof(CP_SECTION)), &sections) != KW_OK) {
        kwFreeMemory(&dir);
        return false;
    }
    // Blocks follow the message texts back to back, in directory order; they
    // must fill the data area exactly.
    const std::uint8_t* data = bytes + offset + textSize;
    std::size_t place = 0;
    bool ok = true;
    for (std::uint32_t i = 0; i < n && ok; ++i) {
        sections[i] = {dir[i].name, nullptr, dir[i].length};
        if (dir[i].length > 0) {
            const auto len = static_cast<std::size_t>(dir[i].length);
            ok = len <= dataSize - place;
            sections[i].data = data + place;
            place += ok ? len : 0;
        }
    }
    kwFreeMemory(&dir);
    if (!ok || place != dataSize) {
        kwFreeMemory(&sections);
        return false;
    }
    *list = sections;
    *count = n;
    return true;
}

void cpFreeResourceSections(CP_SECTION** list) {
    kwFreeMemory(list);
}

bool cpLoadResourceFile(const void* image, std::uint32_t size, std::uint32_t hostKind,
                        std::uint32_t copy) {
    CP_SECTION* sections = nullptr;
    std::uint32_t count = 0;
    if (!cpGetResourceSections(image, size, &sections, &count))
        return false;
    const bool ok = cpLoadSections(sections, count, hostKind, copy != 0);
    cpFreeResourceSections(&sections);
    return ok;
}

bool cpLoadBuiltinTables(std::uint32_t hostKind) {
    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    GetEngineResource(&image, &size);
    return cpLoadResourceFile(image, size, hostKind, 0);
}
