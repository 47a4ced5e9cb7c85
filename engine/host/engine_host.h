// The engine as the program sees it: KWEngine, implemented by EngineF6. The
// program makes one, calls Open, then Init with its arguments (switches are
// parsed and the logs opened there), then Start when it wants the machine's
// disks, and Stop at the end; destroying it tears the engine down.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>
#include <memory>
#include <string>

class UIBridgeThunk;

// The engine interface of the program. The bodies here are the defaults of a
// program without an engine: queries answer 0 and operations do nothing.
class KWEngine {
public:
    virtual ~KWEngine() = default;
    virtual kwRet Open(std::uint32_t /*hostKind*/, std::uint32_t /*runEnvironment*/) {
        return KW_OK;
    }
    // badText receives the usage text, the first bad argument or the report of
    // a log that could not be opened (empty when none).
    virtual kwRet Init(int /*argc*/, const char* const* /*argv*/, std::string* /*badText*/) {
        return KW_OK;
    }
    virtual kwRet Start(int /*argc*/, const char* const* /*argv*/) { return KW_OK; }
    virtual kwRet Stop() { return KW_OK; }
    virtual bool IsCmdMode() const { return false; }
    virtual bool IsNoUI() const { return false; }
    virtual std::string GetRebootSummary() const { return std::string(); }
    virtual bool HasRebootChanges() const { return false; }
    virtual bool IsRebootNeeded() const { return false; }
    virtual kwRet ShutDown() { return KW_OK; }
};

// The program's engine: owns the engine's set-up from Open to destruction.
// Only one may be open in a process.
class EngineF6 : public KWEngine {
public:
    EngineF6();
    ~EngineF6() override;
    EngineF6(const EngineF6&) = delete;
    EngineF6& operator=(const EngineF6&) = delete;

    // Sets the engine up with its built-in resource and accepts the program's
    // switches. On this host the engine's text is UTF-8 whatever kind is asked
    // for. A second call after success returns 0 and does nothing; after a
    // failure it tries again.
    kwRet Open(std::uint32_t hostKind, std::uint32_t runEnvironment) override;
    // Once per process, after a successful Open: parses the arguments, opens
    // the logs (debug file, result log, ERR and LOG line logs) and applies the
    // preferences. 4 with a bad command line, the log's code when a log cannot
    // be opened; later calls return the first result. 20 before Open.
    kwRet Init(int argc, const char* const* argv, std::string* badText) override;
    // Starts the engine on the machine's disks: 88 when there are none, the
    // Open failure (20 when never opened) before a successful Open.
    kwRet Start(int argc, const char* const* argv) override;
    kwRet Stop() override;
    bool IsCmdMode() const override;
    bool IsNoUI() const override;
    std::string GetRebootSummary() const override;
    bool HasRebootChanges() const override;
    bool IsRebootNeeded() const override;
    // With the feature switch VTFeatures/ShutDown at 0, asks the reboot
    // manager for a restart (which on this host is logged, never done) and
    // returns 0; otherwise returns the switch's value.
    kwRet ShutDown() override;

    bool IsOpened() const { return opened_; }

private:
    std::unique_ptr<UIBridgeThunk> bridge_;
    kwRet openResult_ = ERR_NOT_OPEN;
    bool opened_ = false;
    bool initDone_ = false;
    kwRet initResult_ = KW_OK;
    std::string initText_;
};
