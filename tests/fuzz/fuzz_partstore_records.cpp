// Fuzzes the checks of the image header and of the part records: whatever the
// bytes, parsing stays within them, and a record that passes keeps passing
// after its texts are rewritten.
#include "imagestore/partstore/image_header.h"
#include "imagestore/partstore/part_record.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

using namespace kw::partstore;

namespace {

void FuzzRecord(std::span<const uint8_t> data) {
    PartRecord record;
    if (PartRecord::Parse(data, PartRecord::kMagic, record) != 0) {
        return;
    }
    for (uint32_t offset = 0; offset < 140; offset += 4) {
        (void)record.Get(offset);
    }
    const std::u16string name = record.Name();
    record.SetDescription(record.Description() + u"more text");
    record.SetName(name + name);
    PartRecord again;
    if (PartRecord::Parse(record.Bytes(), PartRecord::kMagic, again) != 0) {
        std::abort(); // a rewritten record must still pass its check
    }
}

void FuzzHeader(std::span<const uint8_t> data) {
    ImageHeader header;
    if (ImageHeader::Parse(data, ImageHeader::kMagic, header) != 0) {
        return;
    }
    header.SetDescription(header.Description() + u"appended");
    header.SetModificationTime(header.CreationTime() + 1);
    ImageHeader again;
    if (ImageHeader::Parse(header.Bytes(), ImageHeader::kMagic, again) != 0) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] & 1) {
        FuzzHeader(rest);
    } else {
        FuzzRecord(rest);
    }
    return 0;
}
