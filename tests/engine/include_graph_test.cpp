// The engine's floors: no folder of the engine includes one above it, and a
// file system includes no other file system. Read from the sources' own
// #include lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

namespace {

namespace fs = std::filesystem;

// Folders not named here are file systems (the floor between the base and
// image access).
int Floor(const std::string& folder) {
    static const std::map<std::string, int> floors = {
        {"core", 0}, {"disk", 1}, {"fs", 2}, {"imgaccess", 4}, {"hidpart", 5}, {"host", 5}};
    auto it = floors.find(folder);
    return it != floors.end() ? it->second : 3;
}

TEST(EngineLayers, NoFolderIncludesOneAboveItOrBeside) {
    const fs::path engine = fs::path(KW_SOURCE_DIR) / "engine";
    const std::regex include(R"(^\s*#\s*include\s*"engine/([a-z0-9_]+)/)");
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(engine)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h"))
            continue;
        ++files;
        const std::string from = fs::relative(entry.path(), engine).begin()->string();
        std::ifstream in(entry.path());
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            std::smatch m;
            if (!std::regex_search(line, m, include) || m[1] == from)
                continue;
            EXPECT_LT(Floor(m[1]), Floor(from))
                << entry.path().string() << ":" << n << " includes engine/" << m[1];
        }
    }
    EXPECT_GT(files, 0) << "no engine sources under " << engine;
}

} // namespace
