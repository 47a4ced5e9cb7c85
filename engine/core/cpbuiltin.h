// The code-page and alternate-form sections built into the engine, generated
// at build time from engine/core/codepages/*.txt (gen_cpblocks).
#pragma once

#include <cstdint>

// One built-in section. A length of 0 or below shares the block of the
// section at position -length (data is then null), as in the resource file.
struct CP_BUILTIN_SECTION {
    const char* name;
    const unsigned char* data;
    std::int32_t length;
};

// The built-in sections in resource-file order: "ALT_FORMS LATIN",
// "CODEPAGE_INFO CP_DOS" (850), "CODEPAGE_INFO CP_UNIX" (1252) and
// "CODEPAGE_INFO CP_WIN" (sharing the CP_UNIX block).
const CP_BUILTIN_SECTION* cpBuiltinSections(unsigned* count);
