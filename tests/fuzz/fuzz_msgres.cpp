// Feeds arbitrary bytes to the engine's resource-file loader: a damaged image
// must be refused (or loaded consistently) without reading outside it.
#include "engine/core/msgres.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy so that any read past the end is caught.
    std::vector<std::uint8_t> image(data, data + size);
    const std::uint8_t* p = image.empty() ? nullptr : image.data();
    KW_SECTION_DIR* dir = nullptr;
    std::uint32_t sections = 0;
    if (cpReadResourceHeader(p, size, nullptr, nullptr, nullptr, nullptr, nullptr, &sections,
                             nullptr, &dir))
        kwFreeMemory(&dir);
    for (bool copy : {false, true}) {
        CODEPAGE_INFO info;
        if (!info.LoadMessages(p, size, copy))
            continue;
        std::size_t total = 0;
        for (std::uint32_t i = 0; i < info.MessageCount(); ++i) {
            const KW_MESSAGE& m = info.Messages()[i];
            total += std::strlen(m.text);
            if (info.GetMessage(m.id) == nullptr)
                __builtin_trap();
        }
        for (std::uint32_t i = 0; i < info.SectionCount(); ++i) {
            const KW_SECTION& s = info.Sections()[i];
            if (s.length > 0)
                total += s.data[s.length - 1];
            total += std::strlen(s.name);
        }
        (void)total;
    }
    return 0;
}
