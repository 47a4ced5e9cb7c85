// The one door through which the editor's windows reach the engine: set-up,
// start on the machine's disks and stop. Widgets never call the engine's
// disk or file functions directly.
#pragma once

#include "engine/core/kwret.h"

#include <memory>
#include <string>
#include <vector>

namespace kw::app {

// The engine as the main window sees it. Open sets it up, Start opens it on
// the machine's disks (the program's arguments carry the engine's switches),
// Stop undoes both; Stop is harmless when nothing was started.
class EngineFacade {
public:
    virtual ~EngineFacade() = default;
    virtual kwRet Open(uint32_t major, uint32_t minor) = 0;
    virtual kwRet Start(const std::vector<std::string>& args) = 0;
    virtual kwRet Stop() = 0;
    virtual bool Started() const = 0;
};

// The engine of this program.
std::unique_ptr<EngineFacade> MakeEngineFacade();

// The percent of the outermost progress level the engine reports.
uint32_t EngineProgressPercent();

} // namespace kw::app
