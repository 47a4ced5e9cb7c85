// Volume-file filters for tests that make the files the container opens
// fail on cue: one write that fails outright, a disk that fills up, (in a
// child process) the writer ending at a given call with part of a write done,
// or sub-blocks of a chunk that can no longer be read.
#pragma once

#include "imagestore/container/volume_files.h"
#include "tests/imagestore/container/forwarding_volume.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kwv::test {

struct FaultPlan {
    int64_t writes = 0;    // WriteAt calls seen
    int64_t changes = 0;   // calls that change a file: WriteAt, SetSize, Flush
    int64_t failAt = -1;   // this WriteAt fails outright, once
    int64_t fullFrom = -1; // from this WriteAt on the disk is full (nothing stored)
    int64_t killAt = -1;   // at this change the process ends with _exit
    uint32_t tear = 0;     // bytes of a write at killAt that reach the file first
    bool cutFrees = false; // a SetSize that shrinks a file ends the full disk
};

class FaultFile final : public VolumeFile {
public:
    FaultFile(std::unique_ptr<VolumeFile> inner, FaultPlan* plan)
        : inner_(std::move(inner)), plan_(plan) {}
    bool ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
        return inner_->ReadAt(offset, buffer, length, done);
    }
    bool WriteAt(uint64_t offset, const void* data, uint32_t length, uint32_t* done) override {
        const int64_t n = plan_->writes++;
        if (Change()) {
            uint32_t part = 0;
            inner_->WriteAt(offset, data, std::min(length, plan_->tear), &part);
            _exit(0);
        }
        if (n == plan_->failAt) {
            *done = 0;
            return false;
        }
        if (plan_->fullFrom >= 0 && n >= plan_->fullFrom) {
            *done = 0;
            return true;
        }
        return inner_->WriteAt(offset, data, length, done);
    }
    bool GetSize(uint64_t* size) override { return inner_->GetSize(size); }
    bool SetSize(uint64_t size) override {
        if (Change()) {
            _exit(0);
        }
        uint64_t now = 0;
        if (plan_->cutFrees && inner_->GetSize(&now) && size < now) {
            plan_->fullFrom = -1;
        }
        return inner_->SetSize(size);
    }
    bool Flush() override {
        if (Change()) {
            _exit(0);
        }
        return inner_->Flush();
    }
    bool TryLock() override { return inner_->TryLock(); }

private:
    bool Change() { return plan_->changes++ == plan_->killAt; }

    std::unique_ptr<VolumeFile> inner_;
    FaultPlan* plan_;
};

// Installs the filter for the life of the object.
class FaultScope {
public:
    explicit FaultScope(FaultPlan* plan) {
        volfiles::SetFileFilterForTests(
            [plan](std::unique_ptr<VolumeFile> file, const std::string&) {
                return std::unique_ptr<VolumeFile>(new FaultFile(std::move(file), plan));
            });
    }
    ~FaultScope() { volfiles::SetFileFilterForTests(nullptr); }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};

// Fails reads that touch the listed 8 KiB sub-blocks of the chunk that
// starts at byte `chunkAt` of a volume, as a medium that lost them.
class LosingFile final : public ForwardingFile {
public:
    LosingFile(std::unique_ptr<VolumeFile> inner, std::vector<uint32_t> lost, uint64_t chunkAt)
        : ForwardingFile(std::move(inner)), lost_(std::move(lost)), chunkAt_(chunkAt) {}
    bool ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
        for (uint32_t s : lost_) {
            const uint64_t from = chunkAt_ + s * 8192ull;
            if (offset < from + 8192 && offset + length > from) {
                *done = 0;
                return false;
            }
        }
        return inner_->ReadAt(offset, buffer, length, done);
    }

private:
    std::vector<uint32_t> lost_;
    uint64_t chunkAt_;
};

// Makes every volume opened lose those sub-blocks for the life of the object.
class LostSubBlocks {
public:
    explicit LostSubBlocks(std::vector<uint32_t> lost, uint64_t chunkAt = 0) {
        volfiles::SetFileFilterForTests([lost = std::move(lost), chunkAt](
                                            std::unique_ptr<VolumeFile> file, const std::string&) {
            return std::unique_ptr<VolumeFile>(new LosingFile(std::move(file), lost, chunkAt));
        });
    }
    ~LostSubBlocks() { volfiles::SetFileFilterForTests(nullptr); }
    LostSubBlocks(const LostSubBlocks&) = delete;
    LostSubBlocks& operator=(const LostSubBlocks&) = delete;
};

} // namespace kwv::test
