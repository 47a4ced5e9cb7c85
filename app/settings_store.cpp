#include "app/settings_store.h"

namespace kw::app {

FileSettingsStore::FileSettingsStore(std::string path) : file_(std::move(path)) {
    file_.Load();
}

bool FileSettingsStore::Edit(const std::function<void(settings::SettingsFile&)>& edit) {
    settings::SettingsFile fresh(file_.Path());
    if (!file_.Path().empty() && fresh.Load()) {
        edit(fresh);
        file_ = fresh;
    } else {
        edit(file_); // unreadable file: keep the change in memory only
        return false;
    }
    return !file_.Path().empty() && file_.Save();
}

} // namespace kw::app
