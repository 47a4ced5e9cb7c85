// A volume-file filter that counts the chunks the container reads from its
// volume files: every read of one whole stored chunk, and the distinct
// places read. Registered for as long as the counter lives.
#pragma once

#include "tests/imagestore/container/forwarding_volume.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace kwv::test {

class ChunkReadCounter {
public:
    explicit ChunkReadCounter(uint32_t chunkBytes = 0x20000) : chunkBytes_(chunkBytes) {
        volfiles::SetFileFilterForTests(
            [this](std::unique_ptr<VolumeFile> f, const std::string& p) {
                return std::unique_ptr<VolumeFile>(new CountingFile(std::move(f), this, p));
            });
    }
    ~ChunkReadCounter() { volfiles::SetFileFilterForTests(nullptr); }
    ChunkReadCounter(const ChunkReadCounter&) = delete;
    ChunkReadCounter& operator=(const ChunkReadCounter&) = delete;

    uint32_t reads = 0;                                // whole chunks read
    std::set<std::pair<std::string, uint64_t>> chunks; // (volume file, offset) read

private:
    class CountingFile final : public ForwardingFile {
    public:
        CountingFile(std::unique_ptr<VolumeFile> inner, ChunkReadCounter* counter, std::string path)
            : ForwardingFile(std::move(inner)), counter_(counter), path_(std::move(path)) {}
        bool ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
            if (length == counter_->chunkBytes_) {
                ++counter_->reads;
                counter_->chunks.emplace(path_, offset);
            }
            return inner_->ReadAt(offset, buffer, length, done);
        }

    private:
        ChunkReadCounter* counter_;
        std::string path_;
    };

    uint32_t chunkBytes_;
};

} // namespace kwv::test
