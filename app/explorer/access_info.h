// A path inside an open image and a counted reference to the image access
// it lies in. Partition and folder items own one each, so an image stays
// open as long as any item inside it exists.
#pragma once

#include "engine/imgaccess/imgaccess.h"

#include <string>

namespace kw::app {

// Owns one reference to its image access (when it has one).
class ACCESS_INFO {
public:
    ACCESS_INFO() = default;
    ACCESS_INFO(std::string path, IMGACCESS* access) : path_(std::move(path)) { SetAccess(access); }
    ~ACCESS_INFO() {
        if (access_ != nullptr)
            access_->Release();
    }
    ACCESS_INFO(const ACCESS_INFO&) = delete;
    ACCESS_INFO& operator=(const ACCESS_INFO&) = delete;

    // The directory text followed by the entry name; no length limit.
    void SetPath(const std::string& directory, const std::string& name) {
        path_ = directory + name;
    }
    void SetAccess(IMGACCESS* access) {
        if (access != nullptr)
            access->AddRef();
        if (access_ != nullptr)
            access_->Release();
        access_ = access;
    }
    const std::string& GetPath() const { return path_; }
    IMGACCESS* GetAccess() const { return access_; }

private:
    std::string path_;
    IMGACCESS* access_ = nullptr;
};

} // namespace kw::app
