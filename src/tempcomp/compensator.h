// Temperature compensation: moves the focuser by the coefficient (steps per
// degree Celsius) times the change of the average temperature since the
// previous correction, now or on a schedule, and keeps the texts of the
// "Compensation Activity" panels.
//
// Everything here runs on the desktop's GUI thread, from its timers and
// controls: SecondTimerTimer every second while the read-out runs, and
// IdleCheckTimerTimer when the one-shot retry the compensator asked for
// fires. The move is handed to the focuser, whose own threads carry it out;
// nothing here waits for it. After each call the desktop shows Panels(),
// AutoOn() (switch, indicator, the controls locked while it runs) and
// CurrentTimeText().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "tempcomp/tc_texts.h"

namespace kv {

class TFocusControl;

inline constexpr const char* kNoCoefficientStartText = "A valid coefficient is unavailable...  Compensation cannot start";
inline constexpr const char* kNoCoefficientNowText = "A valid coefficient is unavailable...  Compensation cannot occur";
inline constexpr const char* kInterruptsOffText =
    "Compensation cannot be performed at this time.\r\nThe SBIG driver has interrupts disabled\r\n\r\nPlease try again";
inline constexpr const char* kCompensationUnderwayText = "Temperature compensation is underway";
inline constexpr const char* kMethodAutomatic = "Automatic";
inline constexpr const char* kMethodManual = "Manual";
// The hub companion's message code for a correction (its parameter: the steps).
inline constexpr int kCompensationMessageCode = 7;

inline constexpr int kIdleCheckTimerMs = 2000;
inline constexpr int kSecondTimerMs = 1000;
// StopFactor for a correction where the camera driver holds interrupts long.
inline constexpr int kSlowStopFactor = 250;

// What a correction needs from the focuser.
class ICompensationFocuser {
public:
    virtual ~ICompensationFocuser() = default;
    // True when no programmed move is running.
    virtual bool Idle() = 0;
    // The running average temperature, degrees Celsius.
    virtual double TCAvg() = 0;
    // Starts a relative move and returns at once (also for 0 steps).
    virtual void MoveBy(std::int32_t steps) = 0;
    virtual int StopFactor() = 0;
    virtual void SetStopFactor(int value) = 0;
    // A camera driver holds the interrupts off.
    virtual bool InterruptsOff() = 0;
};

// The focuser controller behind that interface.
class FocusControlCompensation final : public ICompensationFocuser {
public:
    explicit FocusControlCompensation(TFocusControl& focuser) : focuser_(focuser) {}
    bool Idle() override;
    double TCAvg() override;
    void MoveBy(std::int32_t steps) override;
    int StopFactor() override;
    void SetStopFactor(int value) override;
    bool InterruptsOff() override;

private:
    TFocusControl& focuser_;
};

// The "Control" group's values.
struct CompensationSettings {
    int minSteps = 1;            // MinStepsSE, 1..100
    bool ignoreEnabled = false;  // IgnoreStepsCB
    int ignoreSteps = 250;       // IgnoreStepsSE, 1..1000
    double rateMinutes = 0.5;    // AutoTCRateSE, 0.5..30
};

// The "Compensation Activity" panels and the compensation window's "Last".
struct CompensationPanels {
    std::string startTemp;
    std::string startTime;
    std::string sched;
    std::string timeUntil;
    std::string occurredAt;
    std::string temp;
    std::string stepsMoved;
    std::string method;
    std::string lastTemp;
    friend bool operator==(const CompensationPanels&, const CompensationPanels&) = default;
};

struct CompensationHooks {
    // The program log; WriteProgramLog when empty.
    std::function<void(const std::string&)> writeLog;
    // Announces each correction to the hub companion (code 7 with the steps);
    // returns once it has been handled.
    std::function<void(std::int32_t steps)> announce;
    // Starts the one-shot IdleCheckTimer; its handler calls IdleCheckTimerTimer.
    std::function<void(int ms)> startIdleCheckTimer;
    // True on a system whose camera driver needs the long stop (a Windows 9x
    // family system with an SBIG camera not on interface 2): never on Linux,
    // injectable so that path stays tested.
    std::function<bool()> slowStopSystem;
};

class TTempCompensator {
public:
    TTempCompensator(ICompensationFocuser& focuser, IDialogs& dialogs, IClock& clock, TCLocale locale,
                     CompensationHooks hooks = {});

    // ---- inputs the desktop keeps current ----
    void SetSettings(const CompensationSettings& settings) { settings_ = settings; }
    const CompensationSettings& Settings() const { return settings_; }
    // SlopeEdit's text (the coefficient).
    void SetSlopeText(std::string text) { slopeText_ = std::move(text); }
    const std::string& SlopeText() const { return slopeText_; }
    // AvgTempLabel's text as the read-out last showed it.
    void SetAvgTempText(std::string text) { avgTempText_ = std::move(text); }
    const std::string& AvgTempText() const { return avgTempText_; }
    void SetLocale(TCLocale locale) { locale_ = std::move(locale); }

    // ---- handlers ----
    // The switch turned on (also each scheduled correction's bookkeeping);
    // false when the coefficient does not read, in which case the switch is
    // off again and the user was told.
    bool SwitchOn();
    void SwitchOff();
    // "Compensate Now" and the compensation window's "Compensate".
    void CompensateNow();
    void SecondTimerTimer();
    void IdleCheckTimerTimer();
    // "Clear": empties every activity panel.
    void ClearActivity();
    // The temperature hardware stopped answering.
    void HardwareLost();
    // One correction; the steps moved, or nullopt when none was made (focuser
    // busy: retried after kIdleCheckTimerMs; or a text did not convert).
    std::optional<std::int32_t> CompensateTemperature();

    // ---- state ----
    bool AutoOn() const { return autoOn_; }
    bool FirstActivation() const { return firstActivation_; }
    int Countdown() const { return countdown_; }
    const std::string& BaseTempText() const { return baseTempText_; }
    const CompensationPanels& Panels() const { return panels_; }
    bool IdleRetryPending() const { return idleRetryPending_; }
    // CurrentTimeLabel and the compensation window's clock.
    std::string CurrentTimeText() const { return FormatLongTime(currentTime_, locale_); }

private:
    bool CoefficientReads() const;
    void Log(const std::string& line);

    ICompensationFocuser& focuser_;
    IDialogs& dialogs_;
    IClock& clock_;
    TCLocale locale_;
    CompensationHooks hooks_;
    CompensationSettings settings_;

    std::string slopeText_;
    std::string avgTempText_;
    std::string baseTempText_;
    CompensationPanels panels_;
    bool autoOn_ = false;
    bool firstActivation_ = false;
    bool idleRetryPending_ = false;
    int countdown_ = 0;
    // The temperature the focuser's position answers for since the last
    // correction: the base moved on by what was actually moved (steps over
    // the coefficient), not by the whole change. A correction skipped as
    // below the minimum, or the fraction lost to rounding, would otherwise
    // vanish with each scheduled correction, and a slow cooling at a short
    // rate would never be followed at all. Empty until a correction in this
    // activity record (a "Clear" starts afresh from the shown text).
    std::optional<double> answeredTemp_;
    std::chrono::system_clock::time_point currentTime_;
};

}  // namespace kv
