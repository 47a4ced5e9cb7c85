#include "tests/engine/ntfs/ntfs_fixture.h"

#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kwtest {

namespace {

void Must(const std::string& command) {
    if (!Run(command))
        throw std::runtime_error("failed: " + command);
}

} // namespace

fs::path MakeNtfsVolume(const TempDir& dir, const std::string& name, uint32_t mib, uint32_t cluster,
                        const std::string& label, const std::string& extra) {
    fs::path image = dir / name;
    MakeSparse(image, uint64_t{mib} << 20);
    Must("mkntfs -F -Q -q -c " + std::to_string(cluster) + " -L '" + label + "' " + extra + " " +
         Quote(image));
    return image;
}

void NtfsPut(const fs::path& image, const fs::path& host, const std::string& name) {
    Must("ntfscp -q " + Quote(image) + " " + Quote(host) + " '" + name + "'");
}

FatListing NtfslsListing(const fs::path& image) {
    std::istringstream in(Capture("LC_ALL=C.UTF-8 ntfsls -l " + Quote(image)));
    static const std::regex row(R"(^ *([0-9]+) +\w+ +[0-9]+ +[0-9:]+ +[0-9]+ (.+)$)");
    FatListing out;
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, row)) {
            FatListed e;
            e.size = std::stoull(m[1]);
            out[m[2]] = e;
        }
    }
    return out;
}

std::set<std::string> FlsNtfsNames(const fs::path& image, uint64_t offset,
                                   const std::string& inode) {
    std::istringstream in(Capture("LC_ALL=C.UTF-8 fls -u " +
                                  std::string(inode.empty() ? "-r " : "") + "-p -o " +
                                  std::to_string(offset) + " " + Quote(image) + " " + inode));
    std::set<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find(":\t");
        if (tab == std::string::npos)
            continue;
        std::string path = line.substr(tab + 2);
        if (inode.empty() && path[0] == '$')
            continue; // the system files and $OrphanFiles
        size_t colon = path.find(':');
        if (colon != std::string::npos)
            path.erase(colon); // a named stream
        out.insert(path);
    }
    return out;
}

std::set<std::string> NtfslsTreeNames(const fs::path& image, bool markFolders) {
    std::istringstream in(Capture("LC_ALL=C.UTF-8 ntfsls -R -F " + Quote(image) + " 2>/dev/null"));
    std::set<std::string> out;
    std::string line, folder;
    while (std::getline(in, line)) {
        if (line.empty() || line == "./" || line == "../")
            continue;
        if (line.back() == ':' && line[0] == '/') {
            folder = line.substr(1, line.size() - 2); // "/a/b/:" -> "a/b/"
            continue;
        }
        if (line.back() == '/' && !markFolders)
            line.pop_back();
        out.insert(folder + line);
    }
    return out;
}

long NtfsinfoUsedClusters(const fs::path& image) {
    std::string out = Capture("ntfsinfo -m " + Quote(image) + " 2>/dev/null");
    std::smatch total, free;
    static const std::regex totalRe(R"(Volume Size in Clusters: ([0-9]+))");
    static const std::regex freeRe(R"(Free Clusters: ([0-9]+))");
    if (!std::regex_search(out, total, totalRe) || !std::regex_search(out, free, freeRe))
        return -1;
    return std::stol(total[1]) - std::stol(free[1]);
}

long FlsRecordOf(const fs::path& image, const std::string& name) {
    std::istringstream in(Capture("fls " + Quote(image)));
    std::string line;
    static const std::regex row(R"(^\S+ ([0-9]+)-128-[0-9]+:\t(.*)$)");
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, row) && m[2] == name)
            return std::stol(m[1]);
    }
    return -1;
}

} // namespace kwtest
