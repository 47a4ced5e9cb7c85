#include "platform/disk/fault_disk_source.h"

#include <cerrno>
#include <cstring>

namespace kw::plat {

DiskIoResult FaultySectorSource::Read(uint64_t sector, void* buffer, uint32_t count) {
    ++readsSeen_;
    auto bad = badSectors_.lower_bound(sector);
    if (bad != badSectors_.end() && *bad - sector < count)
        return {DiskIoStatus::IoError, EIO};
    return inner_->Read(sector, buffer, count);
}

DiskIoResult FaultySectorSource::Write(uint64_t sector, const void* buffer, uint32_t count) {
    if (++writesSeen_ == failWriteNumber_)
        return {DiskIoStatus::IoError, EIO};
    return inner_->Write(sector, buffer, count);
}

MemorySectorSource::MemorySectorSource(std::string name, std::string bytes, bool writable)
    : name_(std::move(name)), bytes_(std::move(bytes)), writable_(writable) {}

DiskIoResult MemorySectorSource::Read(uint64_t sector, void* buffer, uint32_t count) {
    if (!RunInside(sector, count, SectorCount()))
        return {DiskIoStatus::OutOfRange, 0};
    if (count != 0)
        std::memcpy(buffer, bytes_.data() + sector * kSectorBytes, size_t{count} * kSectorBytes);
    return {};
}

DiskIoResult MemorySectorSource::Write(uint64_t sector, const void* buffer, uint32_t count) {
    if (!writable_)
        return {DiskIoStatus::ReadOnly, EROFS};
    if (!RunInside(sector, count, SectorCount()))
        return {DiskIoStatus::OutOfRange, 0};
    if (count != 0)
        std::memcpy(bytes_.data() + sector * kSectorBytes, buffer, size_t{count} * kSectorBytes);
    return {};
}

} // namespace kw::plat
