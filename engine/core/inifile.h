// Profile files of sections and keys ("[Section]", "Key=Value") held in memory
// and read from and written to a file through the path layer, the program's
// feature switches read from one such profile, and a registry of callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A reference-counted profile. Answers are 1 (true) or 0 (false).
class INIFILE {
public:
    virtual std::uint32_t AddRef() = 0;
    // At 0 the profile saves (when changed) and destroys itself.
    virtual std::uint32_t Release() = 0;
    // The file's path; null when the file was not read.
    virtual const char* GetPath() const = 0;
    // Allows changes of a read-only profile (kept in memory, never saved).
    virtual void AllowWrite() = 0;
    virtual int Save() = 0;
    virtual int GetStoreFlag() const = 0;
    virtual void SetStoreFlag(int on) = 0;
    // 1 when the key exists; copies at most size - 1 bytes of its value.
    virtual int GetString(const char* section, const char* key, char* buffer,
                          std::size_t size) const = 0;
    virtual int GetInt(const char* section, const char* key, int* value) const = 0;
    virtual int SetString(const char* section, const char* key, const char* value) = 0;
    virtual int SetInt(const char* section, const char* key, int value) = 0;
    virtual int DeleteKey(const char* section, const char* key) = 0;

protected:
    virtual ~INIFILE() = default;
};

// Texts of 60,000 bytes or more are neither read nor made.
inline constexpr std::size_t INI_MAX_TEXT = 60000;
inline constexpr std::size_t INI_SPARE_ROOM = 10000;

// A read-only profile of the file, or null when it cannot be read.
INIFILE* OpenIniFile(const std::string& path);
// A writable profile of the file (empty when the file does not exist yet);
// saved to the path when changed. Null without memory.
INIFILE* OpenIniFileForUpdate(const std::string& path);
// A writable profile whose saves go to a writer function.
using INI_WRITER = int (*)(void* context, const char* text, std::size_t length);
INIFILE* CreateIniWithWriter(const char* text, std::size_t length, INI_WRITER writer,
                             void* context);

// The program's feature profile: features.ini beside the settings file,
// opened on first use. Without a profile every query answers its default.
int GetFeatureInt(const char* section, const char* key, int defaultValue);
void GetFeatureString(const char* section, const char* key, const char* defaultValue, char* buffer,
                      std::size_t size);
// Another file as the feature profile (empty: the default one); tests.
void SetFeatureProfilePath(const std::string& path);
std::string FeatureProfilePath();

// The registry of (function, context) pairs with use counts; nothing in this
// program calls the registered functions.
using KW_CALLBACK_FN = void (*)(void* context);
int RegisterCallback(KW_CALLBACK_FN fn, void* context);
void UnregisterCallback(KW_CALLBACK_FN fn, void* context);
// The use count of a pair (0 when not registered).
std::uint32_t CallbackUseCount(KW_CALLBACK_FN fn, void* context);
