// Fuzzes the reading of an OS/2 extended-attribute file's header and
// handle table: the input is the file's cluster count (4 bytes, little
// endian) and then its first clusters. Whatever the bytes, the reader
// either refuses them with no handle or gives handles in handle order whose
// locations lie after the table, never fall, stay within the total and
// within the file, and whose allotments run exactly from each location to
// the next (the last one to the total). The seeds are files as the tests
// build them: handles in two groups, one with its group base before its
// first handle.
#include "engine/fat/fat_ea.h"
#include "engine/fat/fat_ea_file.h"
#include "include/kwbytes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    uint32_t clusters = kwbytes::LoadLe32(data);
    std::span<const uint8_t> region(data + 4, size - 4);
    std::vector<kw::fat::EA_HANDLE> handles;
    kwRet rc = kw::fat::EaLocateHandles(region, clusters, &handles);
    if (rc != KW_OK) {
        if (rc != kw::fat::ERR_FAT_EA_CORRUPT || !handles.empty())
            std::abort();
        return 0;
    }
    uint32_t base0 = kwbytes::LoadLe16(region.data() + 32);
    uint32_t total = kwbytes::LoadLe16(region.data() + 510);
    if (base0 == 0 || total < base0 || total > clusters)
        std::abort();
    for (size_t i = 0; i < handles.size(); ++i) {
        const kw::fat::EA_HANDLE& h = handles[i];
        uint32_t end = i + 1 < handles.size() ? handles[i + 1].location : total;
        if (h.location < base0 || h.location + h.allotment != end || end > total ||
            (i > 0 && h.handle <= handles[i - 1].handle) ||
            512 + 2 * size_t{h.handle} + 2 > region.size())
            std::abort();
    }
    return 0;
}
