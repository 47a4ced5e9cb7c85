// Test helpers around files and outside tools: sparse images, byte access at
// offsets, running a command and capturing what it prints.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kwtest {

// A file of the size, all holes (made or cut to size).
void MakeSparse(const std::filesystem::path& file, uint64_t bytes);
// Writes bytes at a byte offset of a file without truncating it.
void WriteAt(const std::filesystem::path& file, uint64_t offset, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadAt(const std::filesystem::path& file, uint64_t offset, size_t count);
// Copies a whole file into another at a sector offset.
void Splice(const std::filesystem::path& image, uint32_t sector,
            const std::filesystem::path& volume);

// Runs a shell command, its output discarded; false when it fails.
bool Run(const std::string& command);
// The standard output of a shell command.
std::string Capture(const std::string& command);

} // namespace kwtest
