// The refocus triggers in the window: the settings group's controls, the
// rules fed with what the window sees, and the refocus they ask for.
//
// The rules (kv::TRefocusTriggers) hear of every auto focus's end, of each
// focus frame measured while no procedure runs (continuous focus, Get Focus
// Image, a script's frame), of the HFD readings a client reports and of the
// read-out's temperature. They are asked on a timer and after each reading.
// A reason is logged, written to the focus log as a "trigger" record,
// announced (triggered) and handed to the Auto Focus page's StartRefocus.
//
// Everything here runs on the GUI thread.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <limits>
#include <optional>

#include "focusing/refocus_triggers.h"

class QTimer;
class TFocusingView;
class TPageContext;

class TRefocusWatch : public QObject {
    Q_OBJECT
public:
    // How often the rules are asked besides after each reading.
    static constexpr int kCheckIntervalMs = 10000;
    // A procedure's last focus frame may reach the screen after the
    // procedure has stopped running, before or just after its end is told
    // (the camera's notice and the procedure's end travel separately): until
    // the end is told, and this long after, frames are taken as its own.
    static constexpr int kProcedureFrameLagMs = 2000;

    TRefocusWatch(TPageContext& form, TFocusingView& focusing, QObject* parent);

    const kv::RefocusTriggerSettings& Settings() const { return triggers_.Settings(); }
    const kv::TRefocusTriggers& Triggers() const { return triggers_; }
    // The file's values into the group and the rules; nothing is written.
    void ReadOwnSettings(const kv::IniFile& ini);
    // A change from a script: the changed keys are written at once and the
    // group shows the values. A write that fails changes nothing and is returned.
    kv::WriteResult Change(const kv::RefocusTriggerSettings& settings);
    // An HFD a client measured on its own frames; false (nothing kept) for
    // a value that is no HFD.
    bool ClientReading(double hfd);
    // Asks the rules now; the reason when one fired.
    std::optional<kv::RefocusDue> Check();
    // A move the user or a client asked for (the Manual Focus page's buttons
    // tell of theirs themselves): the HFD rule starts its baseline again now
    // and once more where the move ends, so no frame taken on the way counts.
    void MovedByHand();

signals:
    // A rule fired: its name ("time", "temperature", "hfd") and the reason.
    void triggered(const QString& rule, const QString& reason);

private:
    std::int64_t Now() const;
    bool Busy() const;
    void GroupChanged();
    void ShowInGroup(const kv::RefocusTriggerSettings& s);
    void FrameShown();
    void AutoFocusEnded(bool completed);
    void ReadTemperature();
    std::optional<double> Temperature() const;
    void WriteFocusLog(const kv::RefocusDue& due);

    TPageContext& form_;
    TFocusingView& focusing_;
    kv::TRefocusTriggers triggers_;
    QTimer* timer_ = nullptr;
    bool showing_ = false;  // the group is being filled, not changed by the user
    bool handMove_ = false;  // a move by hand has not ended yet
    bool inProcedure_ = false;  // one was seen running and its end is not told yet
    std::int64_t procedureEndMs_ = std::numeric_limits<std::int64_t>::min() / 2;
};
