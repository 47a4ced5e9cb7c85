#include "app/engine_facade.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/progress.h"
#include "engine/disk/kwlib.h"

namespace kw::app {
namespace {

// Opens the disk library on Start and closes it on Stop. The engine's own
// set-up (allocator, logs, messages) has no host object yet, so Open only
// records that it was asked.
class DiskLibraryEngine final : public EngineFacade {
public:
    ~DiskLibraryEngine() override { Stop(); }

    kwRet Open(uint32_t, uint32_t) override {
        DbgPrintf("Editor: engine set-up has no host object yet; disks only\n");
        opened_ = true;
        return KW_OK;
    }
    kwRet Start(const std::vector<std::string>&) override {
        if (!opened_ || started_)
            return KW_OK;
        kwRet rc = kwLibOpen();
        started_ = rc == KW_OK;
        if (!started_)
            DbgPrintf("Editor: the disk library did not open (%u)\n", rc);
        return rc;
    }
    kwRet Stop() override {
        kwRet rc = KW_OK;
        if (started_)
            rc = kwLibClose();
        started_ = false;
        opened_ = false;
        return rc;
    }
    bool Started() const override { return started_; }

private:
    bool opened_ = false;
    bool started_ = false;
};

} // namespace

std::unique_ptr<EngineFacade> MakeEngineFacade() {
    return std::make_unique<DiskLibraryEngine>();
}

uint32_t EngineProgressPercent() {
    return GetProgressPercent(0, 0);
}

} // namespace kw::app
