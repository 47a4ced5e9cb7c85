// Where the editor keeps its settings: the program's one settings file
// (shared with the engine and the image library), or memory for tests.
#pragma once

#include "platform/settings/settings_file.h"

#include <functional>
#include <string>

namespace kw::app {

// Owns the values as last read; Edit applies a change to them and stores it.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual const settings::SettingsFile& Values() const = 0;
    // Applies edit to the stored values and keeps them, in memory even when
    // they cannot be written out; false when writing failed.
    virtual bool Edit(const std::function<void(settings::SettingsFile&)>& edit) = 0;
};

// The settings file. Edit reads the file again first, so keys that other
// parts of the program wrote meanwhile survive, and saves it atomically.
class FileSettingsStore final : public SettingsStore {
public:
    explicit FileSettingsStore(std::string path = settings::SettingsFile::DefaultPath());
    const settings::SettingsFile& Values() const override { return file_; }
    bool Edit(const std::function<void(settings::SettingsFile&)>& edit) override;

private:
    settings::SettingsFile file_;
};

class MemorySettingsStore final : public SettingsStore {
public:
    const settings::SettingsFile& Values() const override { return file_; }
    bool Edit(const std::function<void(settings::SettingsFile&)>& edit) override {
        edit(file_);
        return true;
    }
    settings::SettingsFile& File() { return file_; }

private:
    settings::SettingsFile file_;
};

} // namespace kw::app
