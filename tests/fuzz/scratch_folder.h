// A folder of the running fuzz target for the files it must write: in memory
// under /dev/shm where that exists, else under /tmp; removed with its files
// when the process ends normally.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kw::fuzz {

inline const std::string& ScratchFolder() {
    struct Folder {
        std::string path = ".";
        bool made = false;
        ~Folder() {
            std::error_code ignored;
            if (made)
                std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder = [] {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/kwfuzz-XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr)
                return Folder{pattern, true};
        }
        return Folder{};
    }();
    return folder.path;
}

} // namespace kw::fuzz
