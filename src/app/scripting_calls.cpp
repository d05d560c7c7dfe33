#include "app/scripting_calls.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <string>

#include "focuser/focus_control.h"
#include "focuser/focuser_factory.h"
#include "focuser/indi_focus_control.h"
#include "focuser/j_focus_control.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "shell/log_channel.h"

void scripting_calls::CloseNotices() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box != nullptr && box->isVisible() && box->standardButtons() == QMessageBox::Ok) box->done(QMessageBox::Ok);
    }
}

void scripting_calls::LogRefusal(const QDBusMessage& call, const QString& text) {
    kv::WriteProgramLog("Scripting: " + call.member().toStdString() + " refused: " + text.toStdString());
}

const kv::FocuserKindControls* scripting_calls::ControlsOf(const kv::TFocusControl* focuser) {
    using kv::FocuserKind;
    if (dynamic_cast<const kv::TOFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::Optec);
    if (dynamic_cast<const kv::TRFFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::RoboFocus);
    if (dynamic_cast<const kv::TIndiFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::Indi);
    if (dynamic_cast<const kv::TJFocusControl*>(focuser) != nullptr) return kv::ControlsForKind(FocuserKind::JMI);
    return nullptr;
}
