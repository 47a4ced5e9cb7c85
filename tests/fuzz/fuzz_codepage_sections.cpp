// Fuzz target for the code-page loader: a whole resource image (when the
// input starts with the resource signature) or a code-page block and an
// alternate-form block taken from the input. Whatever loads is then used to
// convert and compare the input as text of every kind.
#include "engine/core/codepage.h"
#include "engine/core/msgres.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void exercise(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> text(data, data + size);
    text.push_back(0);
    text.push_back(0);
    std::vector<std::uint8_t> out(size * 4 + 8);
    const std::uint32_t kinds[] = {CPKIND_DOS, CPKIND_WIN, CPKIND_UTF8, CPKIND_UTF16, CPKIND_MAC};
    for (std::uint32_t to : kinds) {
        for (std::uint32_t from : kinds) {
            // An odd size exercises the cut at the end of the buffer.
            cpConvertString(to, out.data(), from, text.data(),
                            static_cast<std::uint32_t>(size % 2 == 0 ? out.size() : size + 1));
        }
        cpCompareStrings(to, text.data(), out.data(), static_cast<std::uint32_t>(size));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= KW_RESOURCE_SIGNATURE_LEN &&
        std::memcmp(data, KW_RESOURCE_SIGNATURE, KW_RESOURCE_SIGNATURE_LEN) == 0) {
        if (cpLoadResourceFile(data, static_cast<std::uint32_t>(size), CPKIND_WIN, size % 2))
            exercise(data, size);
        cpFreeTables();
        return 0;
    }
    if (size < 2)
        return 0;
    // First byte: where the alternate-form block ends.
    const std::size_t split = std::min<std::size_t>(data[0] * 4u, size - 1);
    const CP_SECTION sections[] = {
        {"ALT_FORMS FUZZ", data + 1, static_cast<std::int32_t>(split)},
        {"CODEPAGE_INFO CP_WIN", data + 1 + split, static_cast<std::int32_t>(size - 1 - split)},
        {"CODEPAGE_INFO CP_BIOS", nullptr, -1},
    };
    if (cpLoadSections(sections, 3, CPKIND_WIN, true))
        exercise(data, size);
    cpFreeTables();
    return 0;
}
