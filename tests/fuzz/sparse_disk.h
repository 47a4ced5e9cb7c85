// A disk for fuzz targets whose input is only the start of it: the input's
// bytes, then zeros up to the disk's size. It reads the input in place and
// keeps only the sectors written, so a run costs what the code under test
// reads, not the size of the disk it asked for. The input must outlive it.
#pragma once

#include "platform/disk/disk_source.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace kw::fuzz {

class SparseDisk : public kw::plat::SectorSource {
public:
    SparseDisk(const uint8_t* data, size_t size, uint64_t sectors, bool writable)
        : data_(data), size_(std::min<uint64_t>(size, sectors * 512)), sectors_(sectors),
          writable_(writable) {}

    std::string Name() const override { return "fuzz"; }
    uint64_t SectorCount() const override { return sectors_; }
    bool Writable() const override { return writable_; }
    kw::plat::DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override {
        if (!kw::plat::RunInside(sector, count, sectors_))
            return {kw::plat::DiskIoStatus::OutOfRange, 0};
        auto* out = static_cast<uint8_t*>(buffer);
        const uint64_t at = sector * 512, length = uint64_t{count} * 512;
        const uint64_t held = at < size_ ? std::min(length, size_ - at) : 0;
        if (held != 0)
            std::memcpy(out, data_ + at, held);
        std::memset(out + held, 0, length - held);
        for (auto it = written_.lower_bound(sector);
             it != written_.end() && it->first < sector + count; ++it)
            std::memcpy(out + (it->first - sector) * 512, it->second.data(), 512);
        return {};
    }
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        if (!writable_)
            return {kw::plat::DiskIoStatus::ReadOnly, 0};
        if (!kw::plat::RunInside(sector, count, sectors_))
            return {kw::plat::DiskIoStatus::OutOfRange, 0};
        for (uint32_t i = 0; i < count; ++i)
            std::memcpy(written_[sector + i].data(), static_cast<const uint8_t*>(buffer) + i * 512,
                        512);
        return {};
    }

private:
    const uint8_t* data_;
    uint64_t size_;
    uint64_t sectors_;
    bool writable_;
    std::map<uint64_t, std::array<uint8_t, 512>> written_;
};

} // namespace kw::fuzz
