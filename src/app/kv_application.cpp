#include "app/kv_application.h"

#include <exception>
#include <string>

#include "shell/diagnostics.h"
#include "shell/log_channel.h"

bool KvApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportException(dialogs_, cpuCheckFailed_, receiver, e.what());
    } catch (...) {
        ReportException(dialogs_, cpuCheckFailed_, receiver, "unknown error");
    }
    return false;
}

void KvApplication::ReportException(kv::IDialogs* dialogs, bool cpuCheckFailed, const QObject* receiver,
                                    const char* what) {
    const std::string sender = receiver != nullptr ? receiver->objectName().toStdString() : std::string();
    kv::TraceDiag(std::string("EXCEPTION: ") + what);
    kv::TraceDiag("Exception Sender: " + sender);
    kv::WriteProgramLog(std::string("Error: ") + what);
    if (dialogs == nullptr) return;
    dialogs->Show(cpuCheckFailed ? std::string(kv::kCpuMessage) : std::string(what), kv::DialogType::Error,
                   kv::DialogButtons::Ok);
}
