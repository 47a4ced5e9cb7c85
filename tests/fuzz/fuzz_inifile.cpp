// Fuzzes the profile-file parser and editor: the input is the profile text;
// keys are looked up, set and deleted in a few sections.
#include "engine/core/inifile.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

int Discard(void*, const char*, std::size_t) {
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    INIFILE* ini = CreateIniWithWriter(reinterpret_cast<const char*>(data), size, Discard, nullptr);
    if (ini == nullptr)
        return 0;
    const char* sections[] = {"", "Features", "VTFeatures", "a"};
    const char* keys[] = {"ShutDown", "k", "", "="};
    char buffer[32];
    for (const char* section : sections) {
        for (const char* key : keys) {
            if (ini->GetString(section, key, buffer, sizeof buffer) &&
                std::strlen(buffer) >= sizeof buffer)
                __builtin_trap();
            int value = 0;
            ini->GetInt(section, key, &value);
            ini->SetString(section, key, "v");
            ini->DeleteKey(section, key);
        }
    }
    ini->Release();
    return 0;
}
