// The Refocus Triggers group of the Focuser Control tab: its controls and the
// names the refocus watch finds them by. Takes the parent widget; gives the
// group with the factory values, not yet tied to any rule.
#pragma once

class QGroupBox;
class QWidget;

namespace refocus_group {
inline constexpr const char* kTimeCB = "RefocusTimeCB";
inline constexpr const char* kMinutesSE = "RefocusMinutesSE";
inline constexpr const char* kTemperatureCB = "RefocusTempCB";
inline constexpr const char* kTemperatureSE = "RefocusTempSE";
inline constexpr const char* kHfdCB = "RefocusHfdCB";
inline constexpr const char* kHfdRiseSE = "RefocusHfdRiseSE";
inline constexpr const char* kHfdReadingsSE = "RefocusHfdReadingsSE";
}  // namespace refocus_group

// The settings group the Settings page places (Focuser Control tab); the
// watch finds its controls by their names.
QGroupBox* NewRefocusTriggersGroup(QWidget* parent);
