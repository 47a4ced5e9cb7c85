// The base of the tests' volume-file filters: every call goes on to the
// file it wraps; a filter overrides the calls it watches or fails.
#pragma once

#include "imagestore/container/volume_files.h"

#include <memory>
#include <utility>

namespace kwv::test {

class ForwardingFile : public VolumeFile {
public:
    explicit ForwardingFile(std::unique_ptr<VolumeFile> inner) : inner_(std::move(inner)) {}
    bool ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
        return inner_->ReadAt(offset, buffer, length, done);
    }
    bool WriteAt(uint64_t offset, const void* data, uint32_t length, uint32_t* done) override {
        return inner_->WriteAt(offset, data, length, done);
    }
    bool GetSize(uint64_t* size) override { return inner_->GetSize(size); }
    bool SetSize(uint64_t size) override { return inner_->SetSize(size); }
    bool Flush() override { return inner_->Flush(); }
    bool TryLock() override { return inner_->TryLock(); }

protected:
    std::unique_ptr<VolumeFile> inner_;
};

} // namespace kwv::test
