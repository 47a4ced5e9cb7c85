#include "platform/settings/settings_file.h"

namespace kw::settings {

std::string SettingsFile::DefaultPath() {
    return {};
}
SettingsFile SettingsFile::OpenDefault() {
    return SettingsFile(DefaultPath());
}
bool SettingsFile::Load() {
    return false;
}
bool SettingsFile::Save() const {
    return false;
}
void SettingsFile::Parse(std::string_view) {}
std::string SettingsFile::Serialize() const {
    return {};
}
std::optional<std::string> SettingsFile::GetString(std::string_view, std::string_view) const {
    return std::nullopt;
}
std::string SettingsFile::GetString(std::string_view, std::string_view,
                                    std::string_view fallback) const {
    return std::string(fallback);
}
std::optional<int64_t> SettingsFile::GetInt(std::string_view, std::string_view) const {
    return std::nullopt;
}
int64_t SettingsFile::GetInt(std::string_view, std::string_view, int64_t fallback) const {
    return fallback;
}
void SettingsFile::SetString(std::string_view, std::string_view, std::string_view) {}
void SettingsFile::SetInt(std::string_view, std::string_view, int64_t) {}
bool SettingsFile::Remove(std::string_view, std::string_view) {
    return false;
}
bool SettingsFile::RemoveSection(std::string_view) {
    return false;
}
std::vector<std::string> SettingsFile::Sections() const {
    return {};
}
std::vector<std::string> SettingsFile::Keys(std::string_view) const {
    return {};
}

} // namespace kw::settings
