// Case folding of UTF-16 characters for case-insensitive name comparison.
#include "engine/core/casefold_table.h"
#include "engine/core/codepage.h"

namespace {

struct SpecialCase {
    std::uint16_t from;
    std::uint16_t to;
};

// Characters that mode 0 upper-cases beyond the range records.
constexpr SpecialCase kModeZeroCases[] = {
    {0x131, 0x49},  {0x1C5, 0x1C4}, {0x1C8, 0x1C7}, {0x1CB, 0x1CA}, {0x1F2, 0x1F1}, {0x3C2, 0x3A3},
    {0x3D0, 0x392}, {0x3D1, 0x398}, {0x3D5, 0x3A6}, {0x3D6, 0x3A0}, {0x3F0, 0x39A}, {0x3F1, 0x3A1},
};

constexpr int kHighByteCount = sizeof kFoldHighBytes;

int groupOf(std::uint16_t c) {
    const auto high = static_cast<std::uint8_t>(c >> 8);
    for (int g = 0; g < kHighByteCount; ++g) {
        if (kFoldHighBytes[g] == high)
            return g;
    }
    return -1;
}

std::uint16_t applyRecords(int group, std::uint16_t c) {
    for (int i = kFoldGroupStart[group]; i < kFoldGroupStart[group + 1]; ++i) {
        const FOLD_RECORD& r = kFoldRecords[i];
        if (r.first > c)
            return c;
        if (r.last < c)
            continue;
        const unsigned step = r.step & 0x7F;
        if (step == 0 || (c - r.first) % step != 0)
            return c;
        return static_cast<std::uint16_t>((r.step & 0x80) != 0 ? c - r.delta : c + r.delta);
    }
    return c;
}

} // namespace

std::uint16_t cpFoldCase(std::uint16_t c, std::uint32_t mode) {
    const int group = groupOf(c);
    if (group < 0)
        return c;
    if (mode == 2) {
        if ((c >> 8) == 0x10)
            return c;
        if (c == 0x3C2)
            return 0x3A3;
    }
    if (mode == 0) {
        for (const SpecialCase& s : kModeZeroCases) {
            if (s.from == c)
                return s.to;
        }
    }
    return applyRecords(group, c);
}
