#include "app/editor_settings.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>

namespace kw::app {
namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The number after prefix, or nullopt when the name is not prefix + digits.
std::optional<uint64_t> NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
        !EqualNoCase(name.substr(0, prefix.size()), prefix))
        return std::nullopt;
    uint64_t n = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    return n;
}

// A stored 32-bit number: anything from INT32_MIN to UINT32_MAX, as the
// registry's double words held both signed and unsigned values.
std::optional<int64_t> Dword(const SettingsStore& store, const std::string& section,
                             const char* key) {
    std::optional<int64_t> v = store.Values().GetInt(section, key);
    if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    return v;
}

std::optional<int32_t> Int32(const SettingsStore& store, const std::string& section,
                             const char* key) {
    std::optional<int64_t> v = Dword(store, section, key);
    if (!v)
        return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(*v));
}

std::optional<bool> Flag(const SettingsStore& store, const std::string& section, const char* key) {
    std::optional<int64_t> v = Dword(store, section, key);
    if (!v)
        return std::nullopt;
    return *v != 0;
}

bool ReplaceNumbered(SettingsStore& store, const std::string& section, const std::string& prefix,
                     const std::vector<std::string>& values) {
    return store.Edit([&](settings::SettingsFile& f) {
        f.RemoveSection(section);
        for (size_t i = 0; i < values.size(); ++i)
            f.SetString(section, prefix + std::to_string(i + 1), values[i]);
    });
}

} // namespace

SettingsKeys BuildKeyPaths() {
    SettingsKeys k;
    k.root = "Software\\Kestrelway\\Veltrane\\4.0";
    k.editor = k.root + "\\VTFE";
    k.recentImages = k.editor + "\\Recent Images";
    k.imageExtensions = k.editor + "\\Image Ext";
    k.settings = k.editor + "\\Settings";
    return k;
}

std::vector<std::string> NumberedValues(const settings::SettingsFile& file,
                                        const std::string& section, const std::string& prefix) {
    std::vector<std::pair<uint64_t, std::string>> numbered;
    std::vector<std::string> others;
    for (const std::string& key : file.Keys(section)) {
        std::optional<std::string> value = file.GetString(section, key);
        if (!value)
            continue;
        if (std::optional<uint64_t> n = NumberAfter(key, prefix))
            numbered.emplace_back(*n, *value);
        else
            others.push_back(*value);
    }
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    for (auto& [n, v] : numbered)
        out.push_back(std::move(v));
    out.insert(out.end(), others.begin(), others.end());
    return out;
}

std::vector<std::string> ReadImageExtensions(const SettingsStore& store, const SettingsKeys& keys) {
    std::vector<std::string> list{".kwi"};
    for (const std::string& ext : NumberedValues(store.Values(), keys.imageExtensions, "EXT")) {
        if (ext.empty())
            continue;
        bool known = std::any_of(list.begin(), list.end(),
                                 [&](const std::string& e) { return EqualNoCase(e, ext); });
        if (!known)
            list.push_back(ext);
    }
    return list;
}

bool WriteImageExtensions(SettingsStore& store, const SettingsKeys& keys,
                          const std::vector<std::string>& extensions) {
    return ReplaceNumbered(store, keys.imageExtensions, "EXT", extensions);
}

EditorDefaults ReadDefaults(const SettingsStore& store, const SettingsKeys& keys) {
    EditorDefaults d;
    std::optional<std::string> loc = store.Values().GetString(keys.settings, "DefRstrLoc");
    if (loc && !loc->empty() && (*loc)[0] != '0')
        d.restoreLocation = *loc;
    std::optional<int64_t> split = Dword(store, keys.settings, "DefSplit");
    if (split && *split > 0)
        d.splitSize = static_cast<uint32_t>(*split);
    return d;
}

LayoutValues ReadLayout(const SettingsStore& store, const SettingsKeys& keys) {
    const std::string& s = keys.settings;
    LayoutValues v;
    v.top = Int32(store, s, "Top");
    v.left = Int32(store, s, "Left");
    v.height = Int32(store, s, "Height");
    v.width = Int32(store, s, "Width");
    v.treeWidth = Int32(store, s, "TreeWidth");
    v.textLabels = Flag(store, s, "TextLabels");
    v.statusBar = Flag(store, s, "StatusBar");
    v.toolbar = Flag(store, s, "Toolbar");
    return v;
}

bool WriteSettings(SettingsStore& store, const SettingsKeys& keys, const LayoutState& layout,
                   const EditorDefaults& defaults) {
    const std::string& s = keys.settings;
    return store.Edit([&](settings::SettingsFile& f) {
        f.SetInt(s, "Top", layout.top);
        f.SetInt(s, "Left", layout.left);
        f.SetInt(s, "Height", layout.height);
        f.SetInt(s, "Width", layout.width);
        f.SetInt(s, "TreeWidth", layout.treeWidth);
        f.SetInt(s, "TextLabels", layout.textLabels ? 1 : 0);
        f.SetInt(s, "StatusBar", layout.statusBar ? 1 : 0);
        f.SetInt(s, "Toolbar", layout.toolbar ? 1 : 0);
        f.SetString(s, "DefRstrLoc",
                    defaults.restoreLocation.empty() ? "0" : defaults.restoreLocation);
        f.SetInt(s, "DefSplit", defaults.splitSize);
    });
}

bool WriteDefaults(SettingsStore& store, const SettingsKeys& keys, const EditorDefaults& defaults) {
    return store.Edit([&](settings::SettingsFile& f) {
        if (defaults.restoreLocation.empty())
            f.Remove(keys.settings, "DefRstrLoc");
        else
            f.SetString(keys.settings, "DefRstrLoc", defaults.restoreLocation);
        f.SetInt(keys.settings, "DefSplit", defaults.splitSize);
    });
}

std::string GetOpenDlgDir(const SettingsStore& store, const SettingsKeys& keys) {
    return store.Values().GetString(keys.settings, "OpenDlgDir", "");
}

bool SetOpenDlgDir(SettingsStore& store, const SettingsKeys& keys, const std::string& folder) {
    return store.Edit(
        [&](settings::SettingsFile& f) { f.SetString(keys.settings, "OpenDlgDir", folder); });
}

std::vector<std::string> ReadRecentImages(const SettingsStore& store, const SettingsKeys& keys) {
    std::vector<std::string> out;
    for (std::string& p : NumberedValues(store.Values(), keys.recentImages, "KWI"))
        if (!p.empty())
            out.push_back(std::move(p));
    return out;
}

bool WriteRecentImages(SettingsStore& store, const SettingsKeys& keys,
                       const std::vector<std::string>& paths) {
    return ReplaceNumbered(store, keys.recentImages, "KWI", paths);
}

} // namespace kw::app
