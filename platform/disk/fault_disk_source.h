// A sector source for tests that fails chosen reads or the k-th write of a
// wrapped source.
#pragma once

#include "platform/disk/disk_source.h"

#include <memory>
#include <set>

namespace kw::plat {

// Owns the wrapped source. A read fails when its run touches a sector marked
// bad; the write numbered failWriteNumber (1 = the first write) fails, and
// every later one passes again.
class FaultySectorSource : public SectorSource {
public:
    explicit FaultySectorSource(std::unique_ptr<SectorSource> inner) : inner_(std::move(inner)) {}

    void FailReadAt(uint64_t sector) { badSectors_.insert(sector); }
    void FailWriteNumber(uint64_t k) { failWriteNumber_ = k; }
    uint64_t WritesSeen() const { return writesSeen_; }
    uint64_t ReadsSeen() const { return readsSeen_; }

    std::string Name() const override { return inner_->Name(); }
    uint64_t SectorCount() const override { return inner_->SectorCount(); }
    bool Writable() const override { return inner_->Writable(); }
    DiskGeometry Geometry() const override { return inner_->Geometry(); }
    uint32_t LogicalSectorBytes() const override { return inner_->LogicalSectorBytes(); }
    DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override;
    DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override;
    DiskIoResult Flush() override { return inner_->Flush(); }
    std::vector<HostPartition> HostPartitions() const override { return inner_->HostPartitions(); }
    DiskIoResult Claim(uint64_t sector, uint64_t count,
                       std::unique_ptr<DiskClaim>* claim) override {
        return inner_->Claim(sector, count, claim);
    }

private:
    std::unique_ptr<SectorSource> inner_;
    std::set<uint64_t> badSectors_;
    uint64_t failWriteNumber_ = 0;
    uint64_t writesSeen_ = 0;
    uint64_t readsSeen_ = 0;
};

// A source held in memory, for tests and fuzzing; writable unless made
// read-only.
class MemorySectorSource : public SectorSource {
public:
    MemorySectorSource(std::string name, std::string bytes, bool writable = true);

    const std::string& Bytes() const { return bytes_; }
    std::string Name() const override { return name_; }
    uint64_t SectorCount() const override { return bytes_.size() / kSectorBytes; }
    bool Writable() const override { return writable_; }
    DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override;
    DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override;

private:
    std::string name_;
    std::string bytes_;
    bool writable_;
};

} // namespace kw::plat
