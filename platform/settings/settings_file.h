// The settings file: an INI-style file of sections and keys that stands in
// for the registry. Its place is $KW_SETTINGS when set, else
// $XDG_CONFIG_HOME/kwvtfe/settings.ini, else ~/.config/kwvtfe/settings.ini.
//
//   [Section]
//   Key=value
//   Other="  value with spaces, \"quotes\", \\ and \n escapes  "
//   ; comment
//
// Sections and keys compare without regard to ASCII case and keep the case
// they were written with. Values that would not read back as written are
// stored quoted with escapes; all others as they are (Windows paths keep their
// single backslashes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw::settings {

// Holds the contents of one settings file in memory, in file order, with its
// comments; Save writes it back atomically (temporary file + rename).
class SettingsFile {
public:
    SettingsFile() = default;
    explicit SettingsFile(std::string path) : path_(std::move(path)) {}

    // $KW_SETTINGS, $XDG_CONFIG_HOME/kwvtfe/settings.ini or
    // ~/.config/kwvtfe/settings.ini ("" when no home is known).
    static std::string DefaultPath();
    // Loads the file at DefaultPath() (an empty set when it does not exist).
    static SettingsFile OpenDefault();

    const std::string& Path() const { return path_; }
    // Reads the file; a missing file gives an empty set and true. False when
    // the file exists but cannot be read (contents then empty).
    bool Load();
    // Writes the file through a temporary file in the same folder and a
    // rename, creating the folder when needed; false on failure (the old file
    // is then untouched).
    bool Save() const;

    void Parse(std::string_view text);
    std::string Serialize() const;

    std::optional<std::string> GetString(std::string_view section, std::string_view key) const;
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view fallback) const;
    // Decimal (optionally negative) or 0x hexadecimal; nullopt when missing or
    // not a whole number in range.
    std::optional<int64_t> GetInt(std::string_view section, std::string_view key) const;
    int64_t GetInt(std::string_view section, std::string_view key, int64_t fallback) const;

    // False (nothing changed) for a section or key the file cannot hold: empty,
    // with surrounding blanks or control characters, a key with "=" or
    // beginning with "[", ";" or "#", a section with "]".
    bool SetString(std::string_view section, std::string_view key, std::string_view value);
    bool SetInt(std::string_view section, std::string_view key, int64_t value);
    // True when the key was there.
    bool Remove(std::string_view section, std::string_view key);
    bool RemoveSection(std::string_view section);

    std::vector<std::string> Sections() const;
    std::vector<std::string> Keys(std::string_view section) const; // in file order

private:
    struct Line {
        std::string key; // empty for a comment or blank line
        std::string value;
        std::string raw; // the line as read, for comments
    };
    struct Section {
        std::string name;
        std::vector<Line> lines;
    };
    static bool ValidName(std::string_view name, bool isKey);
    Section* FindSection(std::string_view name);
    const Section* FindSection(std::string_view name) const;

    std::string path_;
    std::vector<Section> sections_; // sections_[0] holds lines before any header, name ""
};

} // namespace kw::settings
