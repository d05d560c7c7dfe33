#include "kessivane_focuser.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "driver_rules.h"
#include "simulated_devices.h"

namespace kv::indi {

namespace {

// While a move runs the watch reports every count; clients get the position
// at most this often, and always at the move's end.
constexpr int kPositionReportMs = 200;
// How long an abort waits for the motor to come to rest before it answers.
constexpr int kAbortWaitMs = 3000;

constexpr const char* kCompensationTab = "Compensation";
constexpr const char* kUncertainText =
    "The focuser's position is uncertain: the last move did not end cleanly (the driver stopped or the port went "
    "away during it). Sync the position, or move to a known mark and sync there.";

enum { kHub, kRoboFocus, kOptec };
enum { kCoefficient, kMinSteps, kIgnoreSteps, kPeriod };

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ProgramDir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

const char* HomeDir() {
    if (const char* home = std::getenv("HOME")) return home;
    const passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_dir : nullptr;
}

bool Mine(const INDI::DefaultDevice& device, const char* dev) {
    return dev != nullptr && std::strcmp(dev, device.getDeviceName()) == 0;
}

// Why a request's numbers cannot be taken, empty when they can: each must be
// a number, and with `inRange` within its element's stated range. The
// driver library checks a range only after acting on the number, and no
// range lets a NaN through its comparisons.
std::string BadNumbers(const INumberVectorProperty& nvp, const double values[], char* names[], int n, bool inRange) {
    for (int i = 0; i < n; ++i) {
        const INumber* e = IUFindNumber(&nvp, names[i]);
        if (e == nullptr) continue;  // the library answers for unknown names
        const double v = values[i];
        if (std::isfinite(v) && (!inRange || (v >= e->min && v <= e->max))) continue;
        char text[256];
        if (inRange) {
            std::snprintf(text, sizeof text, "%s.%s takes %.10g to %.10g, not %g; nothing was changed.", nvp.name,
                          e->name, e->min, e->max, v);
        } else {
            std::snprintf(text, sizeof text, "%s.%s takes a number, not %g; nothing was changed.", nvp.name, e->name,
                          v);
        }
        return text;
    }
    return {};
}

}  // namespace

// ---- the connection ----

ServiceSerial::ServiceSerial(INDI::DefaultDevice* device, Opener open, std::function<void()> close)
    : Connection::Serial(device), open_(std::move(open)), close_(std::move(close)) {}

bool ServiceSerial::Connect() {
    if (!open_(port())) return false;
    // The handshake saves the port that worked, as for any serial driver.
    if (processHandshake()) return true;
    close_();
    return false;
}

bool ServiceSerial::Disconnect() {
    close_();
    return true;
}

void ServiceSerial::Activated() {
    Connection::Serial::Activated();
    m_Device->deleteProperty(BaudRateSP.name);
    m_Device->deleteProperty(AutoSearchSP.name);
}

// ---- the device ----

KessivaneFocuser::KessivaneFocuser() {
    setVersion(KV_VERSION_MAJOR, KV_VERSION_MINOR);
    FI::SetCapability(FOCUSER_CAN_ABS_MOVE | FOCUSER_CAN_REL_MOVE | FOCUSER_CAN_ABORT | FOCUSER_HAS_BACKLASH);
    // The base class would open the tty itself; ServiceSerial is registered instead.
    setSupportedConnections(CONNECTION_NONE);
}

KessivaneFocuser::~KessivaneFocuser() {
    service_.Close();
    if (positionTimer_ >= 0) IERmTimer(positionTimer_);
    if (wakeId_ >= 0) IERmCallback(wakeId_);
    if (wakeRead_ >= 0) close(wakeRead_);
    if (wakeWrite_ >= 0) close(wakeWrite_);
    // The driver library allocates every text with malloc and never frees it.
    for (ITextVectorProperty* tvp : {&infoTP_, &lastMoveTP_, &compSourceTP_, &compFileTP_}) {
        for (int i = 0; i < tvp->ntp; ++i) {
            free(tvp->tp[i].text);
            tvp->tp[i].text = nullptr;
        }
    }
}

const char* KessivaneFocuser::getDefaultName() { return kDeviceName; }

bool KessivaneFocuser::initProperties() {
    INDI::Focuser::initProperties();

    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
        wakeId_ = IEAddCallback(wakeRead_, &KessivaneFocuser::OnWake, this);
    }
    serial_ = std::make_unique<ServiceSerial>(
        this, [this](const std::string& device) { return OpenService(device); }, [this] { CloseService(); });
    serial_->registerHandshake([] { return true; });  // the service's Open is the handshake
    registerConnection(serial_.get());

    catalogue_ = FindCatalogue(ProgramDir());
    IUFillSwitch(&kindS_[kHub], "HUB", "Hub", ISS_ON);
    IUFillSwitch(&kindS_[kRoboFocus], "ROBOFOCUS", "RoboFocus", ISS_OFF);
    IUFillSwitch(&kindS_[kOptec], "OPTEC", "Optec", ISS_OFF);
    IUFillSwitchVector(&kindSP_, kindS_, 3, getDeviceName(), "KV_FOCUSER_KIND", "Focuser kind", CONNECTION_TAB, IP_RW,
                       ISR_1OFMANY, 0, IPS_IDLE);
    const std::vector<std::string> models = HubModels(catalogue_);
    modelS_.resize(models.size());
    for (std::size_t i = 0; i < models.size(); ++i) {
        // Element names are the model names: a saved configuration then
        // still picks the same model when the catalogue's order changes.
        IUFillSwitch(&modelS_[i], models[i].c_str(), models[i].c_str(), i == 0 ? ISS_ON : ISS_OFF);
    }
    IUFillSwitchVector(&modelSP_, modelS_.data(), static_cast<int>(modelS_.size()), getDeviceName(), "KV_HUB_MODEL",
                       "Hub model", CONNECTION_TAB, IP_RW, ISR_1OFMANY, 0, IPS_IDLE);

    IUFillText(&infoT_[0], "KIND", "Kind", "");
    IUFillText(&infoT_[1], "MODEL", "Model", "");
    IUFillText(&infoT_[2], "VERSION", "Firmware", "");
    IUFillTextVector(&infoTP_, infoT_, 3, getDeviceName(), "KV_DEVICE_INFO", "Focuser", MAIN_CONTROL_TAB, IP_RO, 0,
                     IPS_IDLE);
    IUFillLight(&positionL_[0], "POSITION_KNOWN", "Position known", IPS_OK);
    IUFillLightVector(&positionLP_, positionL_, 1, getDeviceName(), "KV_POSITION_STATE", "Position", MAIN_CONTROL_TAB,
                      IPS_OK);
    IUFillText(&lastMoveT_[0], "END", "Ended", "");
    IUFillText(&lastMoveT_[1], "REASON", "Reason", "");
    IUFillTextVector(&lastMoveTP_, lastMoveT_, 2, getDeviceName(), "KV_LAST_MOVE", "Last move", MAIN_CONTROL_TAB,
                     IP_RO, 0, IPS_IDLE);
    IUFillNumber(&temperatureN_[0], "TEMPERATURE", "Celsius", "%6.2f", -100, 100, 0, 0);
    IUFillNumberVector(&temperatureNP_, temperatureN_, 1, getDeviceName(), "FOCUS_TEMPERATURE", "Temperature",
                       MAIN_CONTROL_TAB, IP_RO, 0, IPS_IDLE);

    IUFillSwitch(&compS_[0], "INDI_ENABLED", "On", ISS_OFF);
    IUFillSwitch(&compS_[1], "INDI_DISABLED", "Off", ISS_ON);
    IUFillSwitchVector(&compSP_, compS_, 2, getDeviceName(), "KV_COMPENSATION", "Compensation", kCompensationTab,
                       IP_RW, ISR_1OFMANY, 0, IPS_IDLE);
    IUFillNumber(&compN_[kCoefficient], "COEFFICIENT", "Steps per degree (0: none)", "%.3f", -10000, 10000, 0, 0);
    IUFillNumber(&compN_[kMinSteps], "MIN_STEPS", "Minimum correction (steps)", "%.0f", 1, 100, 1, 1);
    IUFillNumber(&compN_[kIgnoreSteps], "IGNORE_STEPS", "Ignore jumps over (steps, 0: never)", "%.0f", 0, 1000, 1, 0);
    IUFillNumber(&compN_[kPeriod], "PERIOD", "Between corrections (s)", "%.0f", 1, 1800, 1, 30);
    IUFillNumberVector(&compNP_, compN_, 4, getDeviceName(), "KV_COMPENSATION_SETTINGS", "Settings",
                       kCompensationTab, IP_RW, 0, IPS_IDLE);
    IUFillText(&compSourceT_[0], "SOURCE", "Coefficient from", "none");
    IUFillTextVector(&compSourceTP_, compSourceT_, 1, getDeviceName(), "KV_COMPENSATION_SOURCE", "Coefficient",
                     kCompensationTab, IP_RO, 0, IPS_IDLE);
    IUFillText(&compFileT_[0], "PATH", "Calibration file (.tcd)", "");
    IUFillTextVector(&compFileTP_, compFileT_, 1, getDeviceName(), "KV_COMPENSATION_FILE", "Load coefficient",
                     kCompensationTab, IP_RW, 0, IPS_IDLE);

    FocusMaxPosN[0].value = 100000;
    FocusMaxPosN[0].max = kServiceMaxPosition;
    FocusAbsPosN[0].max = FocusSyncN[0].max = FocusMaxPosN[0].value;
    FocusRelPosN[0].max = FocusMaxPosN[0].value / 2;
    FocusBacklashN[0].min = 0;
    FocusBacklashN[0].max = 10000;
    FocusBacklashN[0].step = 1;
    addDebugControl();
    return true;
}

void KessivaneFocuser::ISGetProperties(const char* dev) {
    // The device's list answers for every property defined once; the focuser
    // base would add its joystick properties to that answer a second time.
    INDI::DefaultDevice::ISGetProperties(dev);
    if (!choiceLoaded_) {
        choiceLoaded_ = true;
        defineProperty(&kindSP_);
        defineProperty(&modelSP_);
        LoadSettings({kindSP_.name, modelSP_.name});
    }
}

void KessivaneFocuser::LoadSettings(std::initializer_list<const char*> names) {
    // Each item is read from the file on its own: a save in between would
    // write back what is not loaded yet.
    loadingConfig_ = true;
    for (const char* name : names) loadConfig(true, name);
    loadingConfig_ = false;
}

void KessivaneFocuser::SaveSettings() {
    if (!loadingConfig_) saveConfig(true);
}

bool KessivaneFocuser::updateProperties() {
    INDI::Focuser::updateProperties();
    if (isConnected()) {
        defineProperty(&infoTP_);
        defineProperty(&positionLP_);
        defineProperty(&lastMoveTP_);
        defineProperty(&compSP_);
        defineProperty(&compNP_);
        defineProperty(&compSourceTP_);
        defineProperty(&compFileTP_);
        RefreshInfo();
        RefreshPositionState();
        // The settings kept for this device. The file first: its fit is
        // kept unless the saved coefficient was typed in over it.
        LoadSettings({FocusMaxPosNP.name, FocusBacklashSP.name, FocusBacklashNP.name, compFileTP_.name, compNP_.name,
                      compSP_.name});
        if (CanReverse()) LoadSettings({FocusReverseSP.name});
    } else {
        for (const char* name : {infoTP_.name, positionLP_.name, lastMoveTP_.name, compSP_.name, compNP_.name,
                                 compSourceTP_.name, compFileTP_.name}) {
            deleteProperty(name);
        }
        if (temperatureDefined_) deleteProperty(temperatureNP_.name);
        temperatureDefined_ = false;
    }
    return true;
}

bool KessivaneFocuser::saveConfigItems(FILE* fp) {
    INDI::Focuser::saveConfigItems(fp);
    IUSaveConfigSwitch(fp, &kindSP_);
    IUSaveConfigSwitch(fp, &modelSP_);
    IUSaveConfigNumber(fp, &FocusMaxPosNP);
    if (compFileT_[0].text != nullptr && compFileT_[0].text[0] != '\0') IUSaveConfigText(fp, &compFileTP_);
    IUSaveConfigNumber(fp, &compNP_);
    IUSaveConfigSwitch(fp, &compSP_);
    return true;
}

ServiceKind KessivaneFocuser::ChosenKind() const {
    if (kindS_[kRoboFocus].s == ISS_ON) return ServiceKind::RoboFocus;
    if (kindS_[kOptec].s == ISS_ON) return ServiceKind::Optec;
    return ServiceKind::Hub;
}

std::string KessivaneFocuser::ChosenModel() const {
    for (const ISwitch& s : modelS_) {
        if (s.s == ISS_ON) return s.name;
    }
    return "Default";
}

// ---- opening and closing ----

bool KessivaneFocuser::OpenService(const std::string& device) {
    ServiceConfig config;
    config.kind = ChosenKind();
    config.device = device;
    if (config.kind == ServiceKind::Hub) config.model = ChosenModel();
    config.cataloguePath = catalogue_;
    config.statePath = FocuserStatePath(device, std::getenv("XDG_STATE_HOME"), HomeDir());
    if (IsSimulatedDevice(device)) {
        PrepareSimulatedDevices();
        config.prepareDevice = &ModelSimulatedHub;
    }
    service_.SetListener(MakeListener());
    const OpenResult opened = service_.Open(config);
    if (!opened.ok) {
        LOGF_ERROR("%s", opened.message.c_str());
        return false;
    }
    // Only the pulse-counted hub can be turned round or told where it is.
    std::uint32_t caps = FOCUSER_CAN_ABS_MOVE | FOCUSER_CAN_REL_MOVE | FOCUSER_CAN_ABORT | FOCUSER_HAS_BACKLASH;
    if (service_.ReverseAvailable()) caps |= FOCUSER_CAN_REVERSE | FOCUSER_CAN_SYNC;
    FI::SetCapability(caps);

    const auto range = service_.DeviceRange();
    const std::int32_t low = range ? std::max(range->min, 0) : 0;
    FocusMaxPosN[0].max = range ? range->max : kServiceMaxPosition;
    FocusMaxPosN[0].value = std::min(FocusMaxPosN[0].value, FocusMaxPosN[0].max);
    if (Refused(service_.SetLimits({low, static_cast<std::int32_t>(FocusMaxPosN[0].value)}))) {
        FocusMaxPosN[0].value = service_.GetLimits().max;
    }
    FocusAbsPosN[0].min = FocusSyncN[0].min = low;
    FocusAbsPosN[0].max = FocusSyncN[0].max = FocusMaxPosN[0].value;
    FocusRelPosN[0].max = FocusMaxPosN[0].value / 2;
    const std::int32_t position = service_.Position();
    latestPosition_ = position;
    FocusAbsPosN[0].value = position;
    // Clients read the standard property, not this driver's light: a
    // position not known shows there too (RefreshPositionState says why).
    FocusAbsPosNP.s = service_.PositionUncertain() ? IPS_ALERT : IPS_OK;
    FocusRelPosNP.s = IPS_OK;
    FocusReverseS[INDI_ENABLED].s = service_.Reverse() ? ISS_ON : ISS_OFF;
    FocusReverseS[INDI_DISABLED].s = service_.Reverse() ? ISS_OFF : ISS_ON;
    lastPositionReportMs_ = 0;
    uncertainShown_ = false;
    lostShown_ = false;
    wantCompensation_ = false;
    const std::string version = service_.DeviceVersion();
    LOGF_INFO("%s focuser on %s, at %d%s%s.", ServiceKindName(service_.Kind()), device.c_str(), position,
              version.empty() ? "" : ", firmware ", version.c_str());
    return true;
}

void KessivaneFocuser::CloseService() {
    service_.Close();
    lostShown_ = false;
    // What the closed focuser said last is of no use to the next one.
    std::lock_guard lock(queueMutex_);
    queue_.clear();
    positionQueued_ = false;
}

// ---- from the watch thread to the loop ----

void KessivaneFocuser::Post(std::function<void()> work) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(work));
    }
    // A full pipe already holds a wake-up; the loop drains the whole queue.
    const char byte = 1;
    if (wakeWrite_ >= 0) (void)!write(wakeWrite_, &byte, 1);
}

void KessivaneFocuser::OnWake(int fd, void* self) {
    char sink[64];
    while (read(fd, sink, sizeof sink) > 0) {
    }
    auto* me = static_cast<KessivaneFocuser*>(self);
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(me->queueMutex_);
        work.swap(me->queue_);
    }
    for (auto& w : work) w();
}

ServiceListener KessivaneFocuser::MakeListener() {
    ServiceListener l;
    l.positionChanged = [this](std::int32_t position) {
        latestPosition_ = position;
        if (!positionQueued_.exchange(true)) Post([this] { ReportPosition(); });
    };
    l.moveEnded = [this](const MoveRecord& record) { Post([this, record] { OnMoveEnded(record); }); };
    l.temperatureChanged = [this](double celsius) { Post([this, celsius] { OnTemperature(celsius); }); };
    l.compensationLog = [this](const std::string& line) { Post([this, line] { LOGF_INFO("%s", line.c_str()); }); };
    l.alert = [this](const std::string& text) {
        Post([this, text] {
            LOGF_ERROR("%s", FaceText(text, service_.Device(), service_.Position()).c_str());
            RefreshPositionState();
            ShowLost();
        });
    };
    return l;
}

// ---- reports, on the loop's thread ----

void KessivaneFocuser::ReportPosition() {
    positionQueued_ = false;
    if (!isConnected()) return;
    const std::int64_t now = NowMs();
    const std::int64_t wait = lastPositionReportMs_ + kPositionReportMs - now;
    if (wait > 0) {
        if (positionTimer_ < 0) {
            positionTimer_ = IEAddTimer(static_cast<int>(wait), [](void* self) {
                auto* me = static_cast<KessivaneFocuser*>(self);
                me->positionTimer_ = -1;
                me->ReportPosition();
            }, this);
        }
        return;
    }
    lastPositionReportMs_ = now;
    FocusAbsPosN[0].value = latestPosition_.load();
    IDSetNumber(&FocusAbsPosNP, nullptr);
}

void KessivaneFocuser::OnMoveEnded(const MoveRecord& record) {
    if (!Serving() || record.end == MoveEnd::Replaced) return;
    // The report of an older move may come after a newer move has begun:
    // the properties then belong to the newer one.
    const auto last = service_.LastMove();
    const bool current = !service_.Moving() && last && last->id == record.id;
    FocusAbsPosN[0].value = current ? record.position : service_.Position();
    lastPositionReportMs_ = NowMs();
    if (!current) {
        IDSetNumber(&FocusAbsPosNP, nullptr);
        return;
    }
    const std::string reason = FaceText(record.reason, service_.Device(), record.position);
    IUSaveText(&lastMoveT_[0], MoveEndName(record.end));
    IUSaveText(&lastMoveT_[1], reason.c_str());
    IPState state = IPS_OK;
    switch (StateForEnd(record.end)) {
        case EndState::Ok: state = IPS_OK; break;
        case EndState::Idle: state = IPS_IDLE; break;
        case EndState::Alert: state = IPS_ALERT; break;
        case EndState::Unchanged: return;
    }
    // A move from a position not known arrives at one not known either.
    const bool unknown = state == IPS_OK && service_.PositionUncertain();
    FocusAbsPosNP.s = unknown ? IPS_ALERT : state;
    // The relative property only shows the moves asked through it.
    if (FocusRelPosNP.s == IPS_BUSY || state == IPS_ALERT) FocusRelPosNP.s = state;
    lastMoveTP_.s = state;
    if (state == IPS_ALERT) {
        LOGF_ERROR("%s", reason.c_str());
    } else if (state == IPS_IDLE) {
        LOGF_INFO("%s", reason.c_str());
    }
    if (unknown) {
        IDSetNumber(&FocusAbsPosNP, "%s", kUncertainText);
    } else {
        IDSetNumber(&FocusAbsPosNP, nullptr);
    }
    IDSetNumber(&FocusRelPosNP, nullptr);
    IDSetText(&lastMoveTP_, nullptr);
    RefreshPositionState();
    ShowLost();
}

void KessivaneFocuser::ShowLost() {
    const auto lost = service_.Lost();
    if (!lost || !isConnected() || lostShown_) return;
    lostShown_ = true;
    // The library then counts the device as not connected, so that CONNECT
    // opens it afresh.
    setConnected(true, IPS_ALERT, FaceText(*lost, service_.Device(), service_.Position()).c_str());
}

void KessivaneFocuser::OnTemperature(double celsius) {
    if (!isConnected()) return;
    temperatureN_[0].value = celsius;
    temperatureNP_.s = IPS_OK;
    if (!temperatureDefined_) {
        defineProperty(&temperatureNP_);
        temperatureDefined_ = true;
    } else {
        IDSetNumber(&temperatureNP_, nullptr);
    }
    if (wantCompensation_) {
        CompensationConfig config = service_.GetCompensation();
        config.enabled = true;
        wantCompensation_ = false;
        RefreshCompensation(Refused(service_.SetCompensation(config)) ? IPS_ALERT : IPS_OK);
    }
}

void KessivaneFocuser::RefreshPositionState() {
    if (!Serving()) return;
    const bool uncertain = service_.PositionUncertain();
    const IPState state = uncertain ? IPS_ALERT : IPS_OK;
    if (positionL_[0].s == state && positionLP_.s == state && uncertain == uncertainShown_) return;
    positionL_[0].s = positionLP_.s = state;
    // The advice goes with the change to uncertain, once.
    const bool tell = uncertain && !uncertainShown_;
    uncertainShown_ = uncertain;
    IDSetLight(&positionLP_, nullptr);
    if (tell) {
        if (!service_.Moving()) FocusAbsPosNP.s = IPS_ALERT;
        IDSetNumber(&FocusAbsPosNP, "%s", kUncertainText);
        LOG_WARN(kUncertainText);
    } else if (!uncertain && FocusAbsPosNP.s == IPS_ALERT && !service_.Moving()) {
        // Synced: the position is known again.
        FocusAbsPosNP.s = IPS_OK;
        IDSetNumber(&FocusAbsPosNP, nullptr);
    }
}

void KessivaneFocuser::RefreshCompensation(IPState state) {
    const CompensationConfig c = service_.GetCompensation();
    compS_[0].s = c.enabled ? ISS_ON : ISS_OFF;
    compS_[1].s = c.enabled ? ISS_OFF : ISS_ON;
    compSP_.s = wantCompensation_ ? IPS_BUSY : state;
    compN_[kCoefficient].value = c.coefficient.value_or(0.0);
    compN_[kMinSteps].value = c.minSteps;
    compN_[kIgnoreSteps].value = c.ignoreEnabled ? c.ignoreSteps : 0;
    compN_[kPeriod].value = c.periodMs / 1000.0;
    compNP_.s = state;
    IUSaveText(&compSourceT_[0], c.source.c_str());
    compSourceTP_.s = IPS_OK;
    IDSetSwitch(&compSP_, nullptr);
    IDSetNumber(&compNP_, nullptr);
    IDSetText(&compSourceTP_, nullptr);
}

void KessivaneFocuser::RefreshInfo() {
    IUSaveText(&infoT_[0], ServiceKindName(service_.Kind()));
    IUSaveText(&infoT_[1], service_.Kind() == ServiceKind::Hub ? service_.Model().c_str() : "");
    IUSaveText(&infoT_[2], service_.DeviceVersion().c_str());
    infoTP_.s = IPS_OK;
    IDSetText(&infoTP_, nullptr);
}

bool KessivaneFocuser::Refused(const Answer& answer) {
    if (answer) return false;
    LOGF_ERROR("%s", answer.message.c_str());
    return true;
}

IPState KessivaneFocuser::MoveStarted(const Answer& answer) {
    if (Refused(answer)) return IPS_ALERT;
    IUSaveText(&lastMoveT_[0], "moving");
    IUSaveText(&lastMoveT_[1], "");
    lastMoveTP_.s = IPS_BUSY;
    IDSetText(&lastMoveTP_, nullptr);
    return service_.Moving() ? IPS_BUSY : IPS_OK;
}

// ---- the standard focuser calls ----

IPState KessivaneFocuser::MoveAbsFocuser(uint32_t targetTicks) {
    if (targetTicks > static_cast<uint32_t>(kServiceMaxPosition)) {
        return MoveStarted({MoveResult::OutOfRange, "Position " + std::to_string(targetTicks) + " is beyond any focuser."});
    }
    return MoveStarted(service_.MoveTo(static_cast<std::int32_t>(targetTicks), WhenBusy::Replace));
}

IPState KessivaneFocuser::MoveRelFocuser(FocusDirection dir, uint32_t ticks) {
    // Inward is toward the telescope: lower positions.
    const std::int64_t steps = dir == FOCUS_INWARD ? -static_cast<std::int64_t>(ticks) : ticks;
    return MoveStarted(service_.MoveBy(steps, WhenBusy::Replace));
}

bool KessivaneFocuser::AbortFocuser() {
    service_.Halt();
    // The library shows the position Idle as soon as this returns: a motor
    // still running on must have come to rest first, and the position shown
    // is where it stands.
    service_.WaitIdle(kAbortWaitMs);
    FocusAbsPosN[0].value = service_.Position();
    return !service_.Moving();
}

bool KessivaneFocuser::SyncFocuser(uint32_t ticks) {
    if (Refused(service_.Sync(static_cast<std::int32_t>(std::min<uint32_t>(ticks, kServiceMaxPosition))))) return false;
    latestPosition_ = service_.Position();
    RefreshPositionState();
    return true;
}

bool KessivaneFocuser::SetFocuserMaxPosition(uint32_t ticks) {
    const auto range = service_.DeviceRange();
    const std::int32_t low = range ? std::max(range->min, 0) : 0;
    if (ticks > static_cast<uint32_t>(kServiceMaxPosition)) ticks = static_cast<uint32_t>(kServiceMaxPosition);
    return !Refused(service_.SetLimits({low, static_cast<std::int32_t>(ticks)}));
}

bool KessivaneFocuser::ReverseFocuser(bool enabled) {
    if (Refused(service_.SetReverse(enabled))) return false;
    return true;
}

bool KessivaneFocuser::SetFocuserBacklash(int32_t steps) {
    FocuserService::Backlash b = service_.GetBacklash();
    b.steps = steps;
    return !Refused(service_.SetBacklash(b));
}

bool KessivaneFocuser::SetFocuserBacklashEnabled(bool enabled) {
    FocuserService::Backlash b = service_.GetBacklash();
    b.enabled = enabled;
    return !Refused(service_.SetBacklash(b));
}

// ---- our own properties ----

bool KessivaneFocuser::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) {
    if (Mine(*this, dev)) {
        if (std::strcmp(name, kindSP_.name) == 0 || std::strcmp(name, modelSP_.name) == 0) {
            ISwitchVectorProperty& svp = std::strcmp(name, kindSP_.name) == 0 ? kindSP_ : modelSP_;
            if (isConnected()) {
                svp.s = IPS_ALERT;
                IDSetSwitch(&svp, "Disconnect before choosing another focuser kind or model.");
                return true;
            }
            svp.s = IUUpdateSwitch(&svp, states, names, n) == 0 ? IPS_OK : IPS_ALERT;
            IDSetSwitch(&svp, nullptr);
            if (svp.s == IPS_OK) SaveSettings();
            return true;
        }
        if (std::strcmp(name, compSP_.name) == 0) {
            if (IUUpdateSwitch(&compSP_, states, names, n) != 0) return false;
            CompensationConfig config = service_.GetCompensation();
            config.enabled = compS_[0].s == ISS_ON;
            const Answer a = service_.SetCompensation(config);
            // A configuration loaded at connection comes before the first
            // temperature reading: it is switched on when that comes.
            wantCompensation_ = !a && config.enabled && !service_.TemperatureAvailable();
            if (wantCompensation_) {
                LOG_INFO("Compensation goes on with the first temperature reading.");
                RefreshCompensation(IPS_BUSY);
            } else {
                const bool refused = Refused(a);
                RefreshCompensation(refused ? IPS_ALERT : IPS_OK);
                if (!refused) SaveSettings();
            }
            return true;
        }
    }
    const bool handled = INDI::Focuser::ISNewSwitch(dev, name, states, names, n);
    if (Mine(*this, dev) && isConnected() &&
        ((std::strcmp(name, FocusBacklashSP.name) == 0 && FocusBacklashSP.s == IPS_OK) ||
         (std::strcmp(name, FocusReverseSP.name) == 0 && FocusReverseSP.s == IPS_OK))) {
        SaveSettings();
    }
    return handled;
}

bool KessivaneFocuser::ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) {
    if (Mine(*this, dev)) {
        // The moves keep the library's own range checks and texts.
        const std::pair<INumberVectorProperty*, bool> checked[] = {
            {&FocusMaxPosNP, true}, {&FocusSyncNP, true},     {&FocusBacklashNP, true},
            {&compNP_, true},       {&FocusAbsPosNP, false}, {&FocusRelPosNP, false}};
        for (const auto& [nvp, inRange] : checked) {
            if (std::strcmp(name, nvp->name) != 0) continue;
            const std::string bad = BadNumbers(*nvp, values, names, n, inRange);
            if (bad.empty()) break;
            nvp->s = IPS_ALERT;
            IDSetNumber(nvp, nullptr);
            LOGF_ERROR("%s", bad.c_str());
            return true;
        }
    }
    if (Mine(*this, dev) && isConnected() && std::strcmp(name, FocusBacklashNP.name) == 0 &&
        FocusBacklashS[INDI_ENABLED].s != ISS_ON && n == 1 && IUFindNumber(&FocusBacklashNP, names[0]) != nullptr) {
        // Kept for when backlash is switched on. The library would drop the
        // number with a warning, and so warn at every connection whose saved
        // settings hold backlash steps with backlash off.
        const bool refused = !SetFocuserBacklash(static_cast<std::int32_t>(std::lround(values[0])));
        if (!refused) IUUpdateNumber(&FocusBacklashNP, values, names, n);
        FocusBacklashNP.s = refused ? IPS_ALERT : IPS_IDLE;
        IDSetNumber(&FocusBacklashNP, nullptr);
        if (!refused) SaveSettings();
        return true;
    }
    if (Mine(*this, dev) && std::strcmp(name, compNP_.name) == 0) {
        CompensationConfig config = service_.GetCompensation();
        for (int i = 0; i < n; ++i) {
            const INumber* e = IUFindNumber(&compNP_, names[i]);
            const double v = values[i];
            if (e == nullptr) continue;
            if (e == &compN_[kCoefficient]) {
                const double old = config.coefficient.value_or(0.0);
                if (std::fabs(v - old) > 1e-9) {
                    if (v == 0.0) {
                        config.coefficient.reset();
                        config.source = "none";
                    } else {
                        config.coefficient = v;
                        config.source = "typed in";
                    }
                }
            } else if (e == &compN_[kMinSteps]) {
                config.minSteps = static_cast<int>(std::lround(v));
            } else if (e == &compN_[kIgnoreSteps]) {
                config.ignoreEnabled = std::lround(v) > 0;
                if (config.ignoreEnabled) config.ignoreSteps = static_cast<int>(std::lround(v));
            } else if (e == &compN_[kPeriod]) {
                config.periodMs = static_cast<int>(std::lround(v * 1000));
            }
        }
        const bool refused = Refused(service_.SetCompensation(config));
        RefreshCompensation(refused ? IPS_ALERT : IPS_OK);
        if (!refused) SaveSettings();
        return true;
    }
    const bool handled = INDI::Focuser::ISNewNumber(dev, name, values, names, n);
    if (Mine(*this, dev) && isConnected() &&
        ((std::strcmp(name, FocusMaxPosNP.name) == 0 && FocusMaxPosNP.s == IPS_OK) ||
         (std::strcmp(name, FocusBacklashNP.name) == 0 && FocusBacklashNP.s == IPS_OK))) {
        SaveSettings();
    }
    return handled;
}

bool KessivaneFocuser::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
    if (Mine(*this, dev) && std::strcmp(name, compFileTP_.name) == 0) {
        const char* path = n > 0 && texts[0] != nullptr ? texts[0] : "";
        const bool refused = Refused(service_.LoadCoefficient(path));
        if (!refused) IUUpdateText(&compFileTP_, texts, names, n);
        compFileTP_.s = refused ? IPS_ALERT : IPS_OK;
        IDSetText(&compFileTP_, nullptr);
        RefreshCompensation(refused ? IPS_ALERT : IPS_OK);
        if (!refused) SaveSettings();
        return true;
    }
    return INDI::Focuser::ISNewText(dev, name, texts, names, n);
}

}  // namespace kv::indi

// The driver library hands the server's requests to every device constructed.
namespace {
const auto focuser = std::make_unique<kv::indi::KessivaneFocuser>();
}
