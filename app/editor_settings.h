// The editor's settings in the settings file: one section per key of the
// editor (the window layout and defaults, recent images, image extensions),
// named by the key's path, with the value names the editor has always used.
// Reading never fails: a missing or malformed value leaves the default.
#pragma once

#include "app/settings_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kw::app {

inline constexpr uint32_t kDefaultSplitSize = 670000000;

// The five key paths of the editor.
struct SettingsKeys {
    std::string root;
    std::string editor;
    std::string recentImages;
    std::string imageExtensions;
    std::string settings;
};
SettingsKeys BuildKeyPaths();

// What the layout values hold; each is empty when missing or malformed.
struct LayoutValues {
    std::optional<int32_t> top, left, height, width, treeWidth;
    std::optional<bool> textLabels, statusBar, toolbar;
};

// The window state written at close.
struct LayoutState {
    int32_t top = 0, left = 0, height = 0, width = 0, treeWidth = 0;
    bool textLabels = true, statusBar = true, toolbar = true;
};

struct EditorDefaults {
    std::string restoreLocation;
    uint32_t splitSize = kDefaultSplitSize;
};

// ".kwi" first, then the stored extensions in their numeric order, each once
// (compared without regard to case).
std::vector<std::string> ReadImageExtensions(const SettingsStore& store, const SettingsKeys& keys);
bool WriteImageExtensions(SettingsStore& store, const SettingsKeys& keys,
                          const std::vector<std::string>& extensions);

// A stored location beginning with "0" means none; a stored split size of 0
// or a missing one gives the default.
EditorDefaults ReadDefaults(const SettingsStore& store, const SettingsKeys& keys);
LayoutValues ReadLayout(const SettingsStore& store, const SettingsKeys& keys);
// Writes every layout value and the defaults (an empty location as "0").
bool WriteSettings(SettingsStore& store, const SettingsKeys& keys, const LayoutState& layout,
                   const EditorDefaults& defaults);

// Writes the default restore location (removing the value when empty) and
// the default split size, as the options dialog confirms them.
bool WriteDefaults(SettingsStore& store, const SettingsKeys& keys, const EditorDefaults& defaults);

std::string GetOpenDlgDir(const SettingsStore& store, const SettingsKeys& keys);
bool SetOpenDlgDir(SettingsStore& store, const SettingsKeys& keys, const std::string& folder);

// The recent images as stored, in the numeric order of their values.
std::vector<std::string> ReadRecentImages(const SettingsStore& store, const SettingsKeys& keys);
// Replaces the stored list.
bool WriteRecentImages(SettingsStore& store, const SettingsKeys& keys,
                       const std::vector<std::string>& paths);

// The values of a section: those named prefix + number first, by number, then
// the others in file order.
std::vector<std::string> NumberedValues(const settings::SettingsFile& file,
                                        const std::string& section, const std::string& prefix);

} // namespace kw::app
