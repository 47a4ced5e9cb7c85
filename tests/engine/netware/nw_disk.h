// A disk image held in memory as the disk library's only disk, with NetWare
// support on: opened, closed and reopened over the same bytes, optionally
// through a fault injector.
#pragma once

#include "engine/core/globals_mgr.h"
#include "engine/disk/kwlib.h"
#include "engine/netware/nw_volmgr.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/engine/fs_modules_env.h"
#include "tests/support/recording_disk.h"

#include <memory>
#include <string>

namespace kwtest::nw {

class NwDisk {
public:
    explicit NwDisk(std::string bytes) : bytes_(std::move(bytes)) { kwSetGlobals(&globals_); }
    ~NwDisk() {
        Close();
        kwSetGlobals(nullptr);
    }
    NwDisk(const NwDisk&) = delete;
    NwDisk& operator=(const NwDisk&) = delete;

    // Opens the library over the bytes; the write numbered failWrite fails.
    kwRet Open(uint64_t failWrite = 0) {
        Close();
        kw::plat::SetDiskProviderForTests([this, failWrite] {
            kw::plat::DiskScan scan;
            auto memory = std::make_unique<kw::plat::MemorySectorSource>("nw", bytes_);
            memory_ = memory.get();
            std::unique_ptr<kw::plat::SectorSource> inner = std::move(memory);
            if (log_ != nullptr)
                inner = std::make_unique<kwtest::RecordingSource>(std::move(inner), log_);
            auto faulty = std::make_unique<kw::plat::FaultySectorSource>(std::move(inner));
            faulty_ = faulty.get();
            faulty_->FailWriteNumber(failWrite);
            scan.disks.push_back(std::move(faulty));
            return scan;
        });
        kwRet rc = kwLibOpen();
        open_ = true;
        return rc;
    }
    void Close() {
        if (!open_)
            return;
        bytes_ = Bytes();
        kwLibClose();
        kw::netware::nwClearVolumes();
        kw::plat::SetDiskProviderForTests(nullptr);
        memory_ = nullptr;
        faulty_ = nullptr;
        open_ = false;
    }
    // Writes and flushes of later opens are logged here (null: none).
    void Record(std::vector<kwtest::DiskEvent>* log) { log_ = log; }
    std::string Bytes() const { return memory_ != nullptr ? memory_->Bytes() : bytes_; }
    kw::plat::FaultySectorSource* Faults() const { return faulty_; }
    // The partition record that starts at this absolute sector.
    PARTITION_INFO* Part(uint32_t start) const {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == start && pi->ucFsKind == FS_KIND_NETWARE)
                return pi;
        return nullptr;
    }

private:
    GLOBALS_MANAGER globals_{KW_GLOBAL_NETWARE};
    std::string bytes_;
    kw::plat::MemorySectorSource* memory_ = nullptr;
    kw::plat::FaultySectorSource* faulty_ = nullptr;
    std::vector<kwtest::DiskEvent>* log_ = nullptr;
    bool open_ = false;
};

} // namespace kwtest::nw
