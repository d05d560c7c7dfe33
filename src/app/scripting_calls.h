// What every scripting object does with a call: the bus names as Qt strings,
// the notice boxes a script's next command closes, the refusal logged, and
// the focuser's ranges by its kind. Takes a call or a focuser; changes
// nothing in the window but the boxes it closes.
#pragma once

#include <QDBusMessage>
#include <QString>

namespace kv {
struct FocuserKindControls;
class TFocusControl;
}  // namespace kv

namespace scripting_calls {

inline QString Q(const char* s) { return QString::fromLatin1(s); }

// A box with only OK carries news, not a question. A script that sends its
// next command has moved on, so the box it left open goes, and boxes from an
// unattended night never pile up on the screen; a box that asks stays.
void CloseNotices();

// Refusals are logged as well: the log is what is read the morning after.
void LogRefusal(const QDBusMessage& call, const QString& text);

// The window's ranges for the current controller's kind; nullptr for none.
const kv::FocuserKindControls* ControlsOf(const kv::TFocusControl* focuser);

}  // namespace scripting_calls
