// Profile files: finding and editing keys in the text, reading and saving it.
#include "engine/core/inifile.h"

#include "platform/settings/settings_file.h"
#include "platform/vfs/vfs.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// [first, last) without white space at either end.
void Trim(const std::string& t, std::size_t* first, std::size_t* last) {
    while (*first < *last && IsBlank(t[*first]))
        ++*first;
    while (*last > *first && IsBlank(t[*last - 1]))
        --*last;
}

std::string Trimmed(const char* s) {
    std::string t = s != nullptr ? s : "";
    std::size_t a = 0, b = t.size();
    Trim(t, &a, &b);
    return t.substr(a, b - a);
}

bool SameNoCase(const std::string& t, std::size_t first, std::size_t last, const char* name) {
    std::size_t n = std::strlen(name);
    if (last - first != n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(t[first + i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// Where a key stands in the text.
struct KeySearch {
    bool sectionFound = false;
    bool found = false;
    std::size_t sectionEnd = 0;             // end of the last line of the matching section
    std::size_t lastNonBlank = 0;           // end of its last non-blank line
    std::size_t lineStart = 0, lineEnd = 0; // the key's line, with its line feed
    std::size_t valueStart = 0, valueEnd = 0;
};

KeySearch FindKey(const std::string& t, const char* section, const char* key) {
    KeySearch r;
    bool current = section[0] == '\0';
    r.sectionFound = current;
    std::size_t pos = 0;
    while (pos < t.size()) {
        std::size_t eol = t.find('\n', pos);
        std::size_t next = eol == std::string::npos ? t.size() : eol + 1;
        std::size_t a = pos, b = eol == std::string::npos ? t.size() : eol;
        Trim(t, &a, &b);
        if (a < b && t[a] == '[') {
            if (current)
                break; // the first header after the matching section ends it
            std::size_t close = t.find(']', a);
            if (close != std::string::npos && close < b && SameNoCase(t, a + 1, close, section)) {
                current = r.sectionFound = true;
                r.sectionEnd = r.lastNonBlank = next;
            }
        } else if (current) {
            r.sectionEnd = next;
            if (a < b)
                r.lastNonBlank = next;
            std::size_t eq = t.find('=', a);
            if (a < b && t[a] != ';' && eq != std::string::npos && eq < b && !r.found) {
                std::size_t ka = a, kb = eq;
                Trim(t, &ka, &kb);
                if (SameNoCase(t, ka, kb, key)) {
                    r.found = true;
                    r.lineStart = pos;
                    r.lineEnd = next;
                    r.valueStart = eq + 1;
                    r.valueEnd = b;
                    Trim(t, &r.valueStart, &r.valueEnd);
                }
            }
        }
        pos = next;
    }
    return r;
}

// The profile: its text, path and flags.
class IniProfile final : public INIFILE {
public:
    IniProfile(std::string path, bool hasPath, bool readOnly)
        : path_(std::move(path)), hasPath_(hasPath), readOnly_(readOnly) {}

    bool Load(kw::vfs::FILEHANDLE* file);
    void SetText(const char* text, std::size_t length) { text_.assign(text, length); }
    void SetWriter(INI_WRITER writer, void* context) {
        writer_ = writer;
        context_ = context;
    }

    std::uint32_t AddRef() override { return ++refs_; }
    std::uint32_t Release() override {
        std::uint32_t left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    const char* GetPath() const override { return hasPath_ ? path_.c_str() : nullptr; }
    void AllowWrite() override { writableOverride_ = true; }
    int Save() override;
    int GetStoreFlag() const override { return storeFlag_ ? 1 : 0; }
    void SetStoreFlag(int on) override {
        if (readOnly_ || storeFlag_ == (on != 0))
            return;
        storeFlag_ = on != 0;
        changed_ = true;
    }
    int GetString(const char* section, const char* key, char* buffer,
                  std::size_t size) const override;
    int GetInt(const char* section, const char* key, int* value) const override;
    int SetString(const char* section, const char* key, const char* value) override;
    int SetInt(const char* section, const char* key, int value) override {
        return SetString(section, key, std::to_string(value).c_str());
    }
    int DeleteKey(const char* section, const char* key) override;

private:
    ~IniProfile() override {
        if ((hasPath_ || writer_ != nullptr) && changed_)
            Save();
    }
    bool MayChange() const { return !readOnly_ || writableOverride_; }
    void MarkChanged() {
        if (!writableOverride_)
            changed_ = true;
    }

    std::uint32_t refs_ = 1;
    std::string path_;
    bool hasPath_;
    std::string text_;
    bool storeFlag_ = false;
    bool readOnly_;
    bool writableOverride_ = false;
    bool changed_ = false;
    INI_WRITER writer_ = nullptr;
    void* context_ = nullptr;
};

bool IniProfile::Load(kw::vfs::FILEHANDLE* file) {
    std::uint64_t size = 0;
    if (file == nullptr || !file->GetSize(&size) || size >= INI_MAX_TEXT || !file->SetPosition(0))
        return false;
    std::string text(static_cast<std::size_t>(size), '\0');
    std::size_t done = 0;
    if (!file->Read(text.data(), text.size(), &done) || done != text.size())
        return false;
    text_ = std::move(text);
    return true;
}

int IniProfile::Save() {
    if (!changed_)
        return 1;
    if (writer_ != nullptr) {
        if (writer_(context_, text_.data(), text_.size()) == 0)
            return 0;
        changed_ = false;
        return 1;
    }
    if (!hasPath_)
        return 0;
    kw::vfs::FILEHANDLE* file =
        kw::vfs::vfsFileExists(path_) ? kw::vfs::vfsOpenFile(path_) : kw::vfs::vfsCreateFile(path_);
    if (file == nullptr)
        return 0;
    std::size_t done = 0;
    bool ok = file->SetPosition(0) && file->Write(text_.data(), text_.size(), &done) &&
              done == text_.size() && file->SetSize(text_.size());
    file->Release();
    if (ok)
        changed_ = false;
    return ok ? 1 : 0;
}

int IniProfile::GetString(const char* section, const char* key, char* buffer,
                          std::size_t size) const {
    if (key == nullptr)
        return 0;
    KeySearch r = FindKey(text_, section != nullptr ? section : "", key);
    if (!r.found)
        return 0;
    if (buffer != nullptr && size != 0) {
        std::size_t n = r.valueEnd - r.valueStart;
        if (n > size - 1)
            n = size - 1;
        std::memcpy(buffer, text_.data() + r.valueStart, n);
        buffer[n] = '\0';
    }
    return 1;
}

int IniProfile::GetInt(const char* section, const char* key, int* value) const {
    char buffer[40];
    if (!GetString(section, key, buffer, sizeof buffer))
        return 0;
    if (value != nullptr)
        *value = static_cast<int>(std::strtol(buffer, nullptr, 10));
    return 1;
}

int IniProfile::SetString(const char* section, const char* key, const char* value) {
    if (!MayChange() || key == nullptr)
        return 0;
    std::string k = Trimmed(key);
    std::string sec = section != nullptr ? section : "";
    if (k.empty())
        return 0;
    std::string line = k + "=" + Trimmed(value) + "\r\n";
    KeySearch r = FindKey(text_, sec.c_str(), k.c_str());
    std::string updated = text_;
    if (r.found)
        updated.replace(r.lineStart, r.lineEnd - r.lineStart, line);
    else if (r.sectionFound && r.lastNonBlank > 0 && text_[r.lastNonBlank - 1] != '\n')
        updated.insert(r.lastNonBlank, "\r\n" + line);
    else if (r.sectionFound)
        updated.insert(r.lastNonBlank, line);
    else
        updated += "\r\n[" + sec + "]\r\n" + line;
    if (updated.size() >= INI_MAX_TEXT)
        return 0;
    text_ = std::move(updated);
    MarkChanged();
    return 1;
}

int IniProfile::DeleteKey(const char* section, const char* key) {
    if (!MayChange() || key == nullptr)
        return 0;
    KeySearch r = FindKey(text_, section != nullptr ? section : "", key);
    if (!r.found)
        return 0;
    text_.erase(r.lineStart, r.lineEnd - r.lineStart);
    MarkChanged();
    return 1;
}

std::string gFeaturePath;
bool gFeaturePathSet = false;

struct CallbackPair {
    KW_CALLBACK_FN fn;
    void* context;
    std::uint32_t uses;
};
std::list<CallbackPair>& Callbacks() {
    static std::list<CallbackPair> list;
    return list;
}

} // namespace

INIFILE* OpenIniFile(const std::string& path) {
    kw::vfs::FILEHANDLE* file = kw::vfs::vfsOpenFileReadOnly(path);
    if (file == nullptr)
        return nullptr;
    auto* ini = new (std::nothrow) IniProfile(path, true, true);
    bool ok = ini != nullptr && ini->Load(file);
    file->Release();
    if (!ok) {
        if (ini != nullptr)
            ini->Release();
        return nullptr;
    }
    return ini;
}

INIFILE* OpenIniFileForUpdate(const std::string& path) {
    auto* ini = new (std::nothrow) IniProfile(path, true, false);
    if (ini == nullptr || !kw::vfs::vfsFileExists(path))
        return ini;
    kw::vfs::FILEHANDLE* file = kw::vfs::vfsOpenFileReadOnly(path);
    bool ok = file != nullptr && ini->Load(file);
    if (file != nullptr)
        file->Release();
    if (!ok) {
        ini->Release();
        return nullptr;
    }
    return ini;
}

INIFILE* CreateIniWithWriter(const char* text, std::size_t length, INI_WRITER writer,
                             void* context) {
    if (text == nullptr || length >= INI_MAX_TEXT)
        return nullptr;
    auto* ini = new (std::nothrow) IniProfile(std::string(), false, false);
    if (ini == nullptr)
        return nullptr;
    ini->SetText(text, length);
    ini->SetWriter(writer, context);
    return ini;
}

void SetFeatureProfilePath(const std::string& path) {
    gFeaturePath = path;
    gFeaturePathSet = !path.empty();
}

std::string FeatureProfilePath() {
    if (gFeaturePathSet)
        return gFeaturePath;
    std::string settings = kw::settings::SettingsFile::DefaultPath();
    std::size_t slash = settings.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return settings.substr(0, slash + 1) + "features.ini";
}

int GetFeatureInt(const char* section, const char* key, int defaultValue) {
    std::string path = FeatureProfilePath();
    INIFILE* ini = path.empty() ? nullptr : OpenIniFile(path);
    int value = defaultValue;
    if (ini != nullptr) {
        if (!ini->GetInt(section != nullptr ? section : "Features", key, &value))
            value = defaultValue;
        ini->Release();
    }
    return value;
}

void GetFeatureString(const char* section, const char* key, const char* defaultValue, char* buffer,
                      std::size_t size) {
    if (buffer == nullptr || size == 0)
        return;
    std::string path = FeatureProfilePath();
    INIFILE* ini = path.empty() ? nullptr : OpenIniFile(path);
    bool found = ini != nullptr &&
                 ini->GetString(section != nullptr ? section : "Features", key, buffer, size);
    if (ini != nullptr)
        ini->Release();
    if (found)
        return;
    std::string fallback = defaultValue != nullptr ? defaultValue : "";
    std::size_t n = fallback.size() < size - 1 ? fallback.size() : size - 1;
    std::memcpy(buffer, fallback.data(), n);
    buffer[n] = '\0';
}

int RegisterCallback(KW_CALLBACK_FN fn, void* context) {
    for (CallbackPair& p : Callbacks()) {
        if (p.fn == fn && p.context == context) {
            ++p.uses;
            return 1;
        }
    }
    Callbacks().push_front({fn, context, 1});
    return 1;
}

void UnregisterCallback(KW_CALLBACK_FN fn, void* context) {
    auto& list = Callbacks();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->fn == fn && it->context == context) {
            if (--it->uses == 0)
                list.erase(it);
            return;
        }
    }
}

std::uint32_t CallbackUseCount(KW_CALLBACK_FN fn, void* context) {
    for (const CallbackPair& p : Callbacks())
        if (p.fn == fn && p.context == context)
            return p.uses;
    return 0;
}
