// EngineF6: set-up, command line, start and stop of the engine for the program.
#include "engine/host/engine_host.h"

#include "engine/core/cmdline.h"
#include "engine/core/codepage.h"
#include "engine/core/inifile.h"
#include "engine/core/logging_file.h"
#include "engine/core/msgformat.h"
#include "engine/core/msgres.h"
#include "engine/core/rebootmgr.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/kwlib.h"
#include "engine/host/engine.h"
#include "engine/host/engine_setup.h"
#include "engine/host/prefs.h"
#include "engine/host/reboot_services.h"

namespace {

// The switches this program accepts, in the order they are accepted.
constexpr std::uint32_t kAccepted[] = {SW_AMW, SW_CAS, SW_CBS, SW_CEC, SW_DBG, SW_ERR, SW_I24,
                                       SW_IEB, SW_IFC, SW_IPE, SW_IRE, SW_LOG, SW_LVL, SW_NBS,
                                       SW_NRB, SW_NSS, SW_PAM, SW_RAV, SW_UEB, SW_USG, SW_WFS};

constexpr kwRet kNoDiskResult = ERR_NO_DRIVE;

// The number of disks in the engine's list; when the list cannot be had its
// failure is shown through the current bridge and the count is 0.
std::uint32_t BridgeDiskCount() {
    DISK_RECORD* first = nullptr;
    kwRet rc = kwGetDiskList(&first);
    if (rc != KW_OK) {
        kwGetUIBridge()->ShowMessage(rc, UIB_ERROR_FLAGS, 0, 0, 0);
        return 0;
    }
    std::uint32_t n = 0;
    for (DISK_RECORD* d = first; d != nullptr; d = d->next)
        ++n;
    return n;
}

std::string SwitchValue(std::uint32_t mask) {
    std::string value;
    if (gCommandLine != nullptr)
        gCommandLine->GetValue(mask, &value);
    return value;
}

bool CountsAsStarted(kwRet rc) {
    return rc == KW_OK || rc == EN_START_FORBIDDEN_70 || rc == EN_START_FORBIDDEN_73 ||
           rc == EN_START_FORBIDDEN_74;
}

// The reboot manager and the preference record serve the engine unless the
// program installed services of its own before opening it.
void InstallDefaultServices() {
    const EN_SERVICE_HOOKS& now = enServiceHooks();
    if (now.createRebootManager != nullptr || now.createPrefs != nullptr ||
        now.rebootSummary != nullptr || now.reboot != nullptr || now.loadPrefs != nullptr)
        return;
    EN_SERVICE_HOOKS hooks;
    RebootManagerAddServiceHooks(&hooks);
    PrefsAddServiceHooks(&hooks);
    enSetServiceHooks(hooks);
}

} // namespace

EngineF6::EngineF6() = default;

EngineF6::~EngineF6() {
    if (!opened_)
        return;
    if (enGetEngineState() != EN_STATE_STOPPED)
        enStopEngine();
    CloseUserLogs();
    kwSetErrorPresenter(nullptr);
    bridge_.reset();
    enTermLibrary();
}

kwRet EngineF6::Open(std::uint32_t /*hostKind*/, std::uint32_t runEnvironment) {
    if (opened_)
        return KW_OK;
    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    GetEngineResource(&image, &size);
    InstallDefaultServices();
    openResult_ = enInitLibrary(image, size, CPKIND_UTF8, runEnvironment, 0);
    if (openResult_ != KW_OK)
        return openResult_;
    opened_ = true;
    for (std::uint32_t mask : kAccepted)
        gCommandLine->Accept(mask);
    // Messages and questions of the engine reach the user from here on.
    bridge_ = std::make_unique<UIBridgeThunk>();
    kwInstallErrorMessageRoute();
    kwSetErrorPresenter(
        [](KWERRORHANDLE handle) -> kwRet { return kwGetUIBridge()->HandleError(handle); });
    return KW_OK;
}

kwRet EngineF6::Init(int argc, const char* const* argv, std::string* badText) {
    if (!opened_)
        return openResult_;
    if (!initDone_) {
        initDone_ = true;
        EN_COMMAND_LINE_RESULT r = enProcessCommandLine(argc, argv);
        initText_ = r.text;
        if (gCommandLine->IsSet(SW_ERR))
            OpenErrorLog(SwitchValue(SW_ERR), false);
        if (r.parseCode != 0) {
            initResult_ = ERR_BAD_ARGUMENT;
            WriteErrorLog(KWString(r.text.c_str()));
        } else {
            if (enServiceHooks().applyPrefs != nullptr)
                enServiceHooks().applyPrefs();
            if (gCommandLine->IsSet(SW_LOG))
                OpenLog(SwitchValue(SW_LOG), false);
            initResult_ = r.logResult;
            if (r.logResult != KW_OK)
                WriteErrorLog(KWString(r.text.c_str()));
        }
    }
    if (badText != nullptr)
        *badText = initText_;
    return initResult_;
}

kwRet EngineF6::Start(int /*argc*/, const char* const* /*argv*/) {
    if (!opened_)
        return openResult_;
    kwRet rc = enStartEngine(EN_START_NETWARE);
    kwImplyMup();
    SetNumberSeparators();
    if (!CountsAsStarted(rc))
        return rc;
    return BridgeDiskCount() == 0 ? kNoDiskResult : rc;
}

kwRet EngineF6::Stop() {
    if (!opened_)
        return openResult_;
    return enStopEngine();
}

bool EngineF6::IsCmdMode() const {
    return kwSwitchSet(SW_CMD);
}

bool EngineF6::IsNoUI() const {
    return kwSwitchSet(SW_NUI);
}

std::string EngineF6::GetRebootSummary() const {
    const EN_SERVICE_HOOKS& hooks = enServiceHooks();
    const char* text = hooks.rebootSummary != nullptr ? hooks.rebootSummary() : nullptr;
    return text != nullptr ? text : "";
}

bool EngineF6::HasRebootChanges() const {
    if (kwSwitchSet(SW_NRB))
        return false;
    const EN_SERVICE_HOOKS& hooks = enServiceHooks();
    return hooks.hasRebootChanges != nullptr && hooks.hasRebootChanges();
}

bool EngineF6::IsRebootNeeded() const {
    const EN_SERVICE_HOOKS& hooks = enServiceHooks();
    return hooks.isRebootNeeded != nullptr && hooks.isRebootNeeded();
}

kwRet EngineF6::ShutDown() {
    int value = GetFeatureInt("VTFeatures", "ShutDown", 0);
    if (value != 0)
        return static_cast<kwRet>(value);
    if (kwSwitchSet(SW_NRB))
        return KW_OK;
    const EN_SERVICE_HOOKS& hooks = enServiceHooks();
    if (enGetEngineState() != EN_STATE_STOPPED)
        enStopEngine();
    return hooks.reboot != nullptr ? hooks.reboot() : KW_OK;
}
