// Writers of the code-page and alternate-form section blocks of the engine
// resource file. Used by the build-time table generator and by tests that need
// blocks of their own (double-byte pages, damaged blocks); the engine itself
// only reads blocks (codepage.cpp).
#pragma once

#include "include/kwbytes.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace kwcp {

// One byte (or lead x 256 + trail) and its Unicode value.
struct CodeEntry {
    std::uint16_t code;
    std::uint16_t unicode;
};

// Description of a double-byte part: lead ranges (at most 6 pairs), the first
// trail byte and one Unicode value per (lead, trail >= firstTrail), lead-major.
struct DbcsPart {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> leadRanges;
    std::uint32_t firstTrail = 0;
    std::uint32_t leadCount = 0;
    std::vector<std::uint16_t> values;
};

inline void putLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.resize(out.size() + 4);
    kwbytes::StoreLe32(out.data() + out.size() - 4, v);
}

inline void putLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.resize(out.size() + 2);
    kwbytes::StoreLe16(out.data() + out.size() - 2, v);
}

// The block layout: total size, code-page number, description (maximum
// character size, default character, 12 bytes of lead ranges), the single-byte
// map, then the double-byte part.
inline std::vector<std::uint8_t>
buildCodePageBlock(std::uint32_t codePage, std::uint32_t maxCharSize, std::uint16_t defaultChar,
                   const std::vector<CodeEntry>& singles, const DbcsPart* dbcs = nullptr) {
    std::vector<std::uint8_t> out;
    putLe32(out, 0); // patched below
    putLe32(out, codePage);
    putLe32(out, maxCharSize);
    putLe16(out, defaultChar);
    std::uint8_t lead[12] = {};
    if (dbcs != nullptr) {
        for (std::size_t i = 0; i < dbcs->leadRanges.size() && i < 6; ++i) {
            lead[2 * i] = dbcs->leadRanges[i].first;
            lead[2 * i + 1] = dbcs->leadRanges[i].second;
        }
    }
    out.insert(out.end(), lead, lead + 12);
    putLe32(out, static_cast<std::uint32_t>(singles.size()));
    for (const CodeEntry& e : singles) {
        putLe16(out, e.code);
        putLe16(out, e.unicode);
    }
    const std::uint32_t d = dbcs != nullptr ? static_cast<std::uint32_t>(dbcs->values.size()) : 0;
    putLe32(out, d);
    if (d > 0) {
        putLe32(out, dbcs->firstTrail);
        putLe32(out, dbcs->leadCount);
        for (std::uint16_t v : dbcs->values)
            putLe16(out, v);
    }
    const auto total = static_cast<std::uint32_t>(out.size());
    kwbytes::StoreLe32(out.data(), total);
    return out;
}

// An alternate-form block: pairs {character, alternate form}, ascending.
inline std::vector<std::uint8_t> buildAltFormBlock(const std::vector<CodeEntry>& pairs) {
    std::vector<std::uint8_t> out;
    for (const CodeEntry& p : pairs) {
        putLe16(out, p.code);
        putLe16(out, p.unicode);
    }
    return out;
}

} // namespace kwcp
