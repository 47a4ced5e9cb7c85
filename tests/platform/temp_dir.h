// A folder of its own for one test, removed with everything in it afterwards.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace kw::test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kwplat.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder " + tmpl + ": " +
                                     std::strerror(errno));
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

    // Writes a file below the folder, creating its parents.
    void Write(const std::string& rel, const std::string& text) const {
        std::filesystem::path p = std::filesystem::path(path_) / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }
    // The bytes of a file below the folder; empty when it cannot be read.
    std::string Read(const std::string& rel) const {
        std::ifstream in(std::filesystem::path(path_) / rel, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

} // namespace kw::test
