// indi_kessivane_focuser: a Kessivane focuser (the hub with a catalogue model,
// RoboFocus or Optec) behind a device server, as an INDI::Focuser over the
// focuser service. The driver translates properties into service calls and
// the service's reports into properties; positions, limits, backlash, the
// motor watch and compensation are the service's.
//
// Threads. The device server's driver library runs one event loop and its
// property structures have no lock, while the service reports from its own
// watch thread. Every report is therefore queued and the loop is woken
// through a pipe registered with IEAddCallback (the one event source that
// may be triggered from another thread); the queued work then runs on the
// loop's thread, where everything else of this class runs.
//
// A second move while one runs replaces it (WhenBusy::Replace): a client of
// the server expects the newest ABS_FOCUS_POSITION or REL_FOCUS_POSITION
// request to win, as it does with the server's other focusers.
#pragma once

#include <connectionplugins/connectionserial.h>
#include <indifocuser.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/focuser_service.h"

namespace kv::indi {

// The server's serial connection with the PORT property a user knows from
// every serial driver, except that the focuser service opens the device:
// it sets each focuser kind's line settings itself and also reaches devices
// that are no terminal at all ("sim:hub"), which the base class's own open
// of the tty would refuse. The baud rate and the port search are withdrawn:
// the kind fixes the speed, and a pulse-counted hub answers nothing a search
// could recognise, so any port would pass for it.
class ServiceSerial final : public Connection::Serial {
public:
    using Opener = std::function<bool(const std::string& device)>;
    ServiceSerial(INDI::DefaultDevice* device, Opener open, std::function<void()> close);
    bool Connect() override;
    bool Disconnect() override;
    void Activated() override;

private:
    Opener open_;
    std::function<void()> close_;
};

class KessivaneFocuser final : public INDI::Focuser {
public:
    KessivaneFocuser();
    ~KessivaneFocuser() override;
    KessivaneFocuser(const KessivaneFocuser&) = delete;
    KessivaneFocuser& operator=(const KessivaneFocuser&) = delete;

    const char* getDefaultName() override;
    bool initProperties() override;
    void ISGetProperties(const char* dev) override;
    bool updateProperties() override;
    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override;
    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override;
    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;

protected:
    bool saveConfigItems(FILE* fp) override;
    // Busy while the move runs, Ok when the focuser is already there, Alert
    // (the service's reason logged as an error) when the move is refused.
    IPState MoveAbsFocuser(uint32_t targetTicks) override;
    IPState MoveRelFocuser(FocusDirection dir, uint32_t ticks) override;
    // Asks the service to halt; the move's end then arrives as Halted.
    bool AbortFocuser() override;
    // False (reason logged) for focusers that keep their own position.
    bool SyncFocuser(uint32_t ticks) override;
    // The upper travel limit; the lower one is 0 (or the device's first step).
    bool SetFocuserMaxPosition(uint32_t ticks) override;
    bool ReverseFocuser(bool enabled) override;
    bool SetFocuserBacklash(int32_t steps) override;
    bool SetFocuserBacklashEnabled(bool enabled) override;

private:
    // Called by the connection, on the loop's thread.
    bool OpenService(const std::string& device);
    void CloseService();

    // Queues `work` for the loop's thread; callable from any thread.
    void Post(std::function<void()> work);
    static void OnWake(int fd, void* self);
    ServiceListener MakeListener();

    // Work run on the loop's thread.
    void ReportPosition();
    void OnMoveEnded(const MoveRecord& record);
    void OnTemperature(double celsius);
    void RefreshPositionState();
    // A device that went away puts CONNECTION in Alert with the reason; the
    // service refuses every move until it is connected again.
    void ShowLost();
    // Connected, or lost and showing it: the properties still tell what happened.
    bool Serving() const { return isConnected() || lostShown_; }
    void RefreshCompensation(IPState state);
    void RefreshInfo();
    IPState MoveStarted(const Answer& answer);
    bool Refused(const Answer& answer);
    ServiceKind ChosenKind() const;
    void LoadSettings(std::initializer_list<const char*> names);
    // Writes the configuration, except while it is being loaded.
    void SaveSettings();
    std::string ChosenModel() const;

    FocuserService service_;
    std::unique_ptr<ServiceSerial> serial_;
    std::string catalogue_;

    // The queue for the loop's thread and its wake-up pipe.
    std::mutex queueMutex_;
    std::vector<std::function<void()>> queue_;  // under queueMutex_
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int wakeId_ = -1;
    std::atomic<std::int32_t> latestPosition_{0};
    std::atomic<bool> positionQueued_{false};
    std::int64_t lastPositionReportMs_ = 0;
    int positionTimer_ = -1;

    bool wantCompensation_ = false;  // switched on before the first temperature came
    bool temperatureDefined_ = false;
    bool uncertainShown_ = false;
    bool lostShown_ = false;  // CONNECTION shows the device's loss
    bool choiceLoaded_ = false;
    bool loadingConfig_ = false;

    // Before connecting: what is connected.
    ISwitch kindS_[3];
    ISwitchVectorProperty kindSP_;
    std::vector<ISwitch> modelS_;
    ISwitchVectorProperty modelSP_;
    // While connected.
    IText infoT_[3];
    ITextVectorProperty infoTP_;
    ILight positionL_[1];
    ILightVectorProperty positionLP_;
    IText lastMoveT_[2];
    ITextVectorProperty lastMoveTP_;
    INumber temperatureN_[1];
    INumberVectorProperty temperatureNP_;
    ISwitch compS_[2];
    ISwitchVectorProperty compSP_;
    INumber compN_[4];
    INumberVectorProperty compNP_;
    IText compSourceT_[1];
    ITextVectorProperty compSourceTP_;
    IText compFileT_[1];
    ITextVectorProperty compFileTP_;
};

}  // namespace kv::indi
