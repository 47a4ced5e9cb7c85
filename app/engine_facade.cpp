#include "app/engine_facade.h"

#include "engine/core/engine_host.h"
#include "engine/core/progress.h"

#include <cstdio>

namespace kw::app {
namespace {

// The engine host of the program: set-up on Open; the switches, the logs
// and the machine's disks on Start; everything undone on Stop and at
// destruction.
class HostEngine final : public EngineFacade {
public:
    kwRet Open(uint32_t major, uint32_t minor) override { return engine_.Open(major, minor); }

    kwRet Start(const std::vector<std::string>& args) override {
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        std::string bad;
        if (engine_.Init(argc, argv.data(), &bad) != KW_OK && !bad.empty())
            std::fprintf(stderr, "%s\n", bad.c_str()); // a bad switch or a log that did not open
        kwRet rc = engine_.Start(argc, argv.data());
        started_ = true;
        return rc;
    }

    kwRet Stop() override {
        if (!started_)
            return KW_OK;
        started_ = false;
        return engine_.Stop();
    }

    bool Started() const override { return started_; }

private:
    EngineF6 engine_;
    bool started_ = false;
};

} // namespace

std::unique_ptr<EngineFacade> MakeEngineFacade() {
    return std::make_unique<HostEngine>();
}

uint32_t EngineProgressPercent() {
    return GetProgressPercent(0, 0);
}

} // namespace kw::app
