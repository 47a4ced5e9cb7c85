// A partition handle held for the length of a scope, and the sector
// transfers of the NetWare layer through it.
#pragma once

#include "engine/core/kwret.h"
#include "engine/disk/kwlib.h"

#include <cstdint>

namespace kw::netware {

// Owns one partition handle; closes it when it goes.
class PartHandle {
public:
    PartHandle() = default;
    ~PartHandle() { Close(); }
    PartHandle(const PartHandle&) = delete;
    PartHandle& operator=(const PartHandle&) = delete;

    kwRet Open(PARTITION_INFO* pi) {
        Close();
        kwRet rc = kwLogOpen(pi, &handle_);
        open_ = rc == KW_OK;
        pi_ = pi;
        return rc;
    }
    void Close() {
        if (open_)
            kwLogClose(handle_);
        open_ = false;
    }
    kwRet Read(uint32_t sector, void* buffer, uint32_t count) const {
        return kwLogRead(handle_, sector, buffer, count);
    }
    kwRet Write(uint32_t sector, const void* buffer, uint32_t count) const {
        return kwLogWrite(handle_, sector, buffer, count);
    }
    // Returns once the writes so far are on the medium.
    kwRet Flush() const { return phyFlush(pi_->disk); }
    kwhandle Get() const { return handle_; }

private:
    kwhandle handle_ = 0;
    PARTITION_INFO* pi_ = nullptr;
    bool open_ = false;
};

} // namespace kw::netware
