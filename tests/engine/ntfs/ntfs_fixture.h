// NTFS volumes for the tests, made by mkntfs and filled by ntfscp at test
// time (no mount), and the tools' own view of them (ntfsls, fls, ntfsinfo)
// as the oracle. kwfs is the engine's side.
#pragma once

#include "tests/engine/fat/fat_fixture.h"

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

namespace kwtest {

// mkntfs -F -Q of `mib` MiB with `cluster` bytes per cluster and a label.
std::filesystem::path MakeNtfsVolume(const TempDir& dir, const std::string& name, uint32_t mib,
                                     uint32_t cluster, const std::string& label = "KwNtfs",
                                     const std::string& extra = "");
// Copies a host file into the volume's root under `name` (ntfscp).
void NtfsPut(const std::filesystem::path& image, const std::filesystem::path& host,
             const std::string& name);

// Names and sizes of the root as ntfsls -l lists them (DOS names left out).
FatListing NtfslsListing(const std::filesystem::path& image);
// Paths as fls -r -p lists them, without the system files and the names of
// named streams; `inode` lists one folder only.
std::set<std::string> FlsNtfsNames(const std::filesystem::path& image, uint64_t offset = 0,
                                   const std::string& inode = "");
// Every path below the root as ntfsls -R -F lists it (DOS names left out);
// with markFolders a folder's path ends in '/'.
std::set<std::string> NtfslsTreeNames(const std::filesystem::path& image, bool markFolders = false);
// Clusters in use as ntfsinfo -m counts them (total less free); -1 if unknown.
long NtfsinfoUsedClusters(const std::filesystem::path& image);
// The record number of a root file as fls gives it; -1 if not found.
long FlsRecordOf(const std::filesystem::path& image, const std::string& name);

} // namespace kwtest
