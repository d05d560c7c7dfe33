// The application object. An exception that escapes an event handler would
// otherwise end the program in the middle of the night; here it is reported
// (traced as well in diagnostic mode) and the program goes on.
#pragma once

#include <QApplication>

#include "platform/dialogs.h"

class KvApplication : public QApplication {
    Q_OBJECT
public:
    KvApplication(int& argc, char** argv) : QApplication(argc, argv) {}

    // Where the error box goes; nothing is shown while unset.
    void SetDialogs(kv::IDialogs* dialogs) { dialogs_ = dialogs; }
    // Set when processor identification failed: the processor message replaces the error box.
    void SetCpuCheckFailed(bool failed) { cpuCheckFailed_ = failed; }

    bool notify(QObject* receiver, QEvent* event) override;

    // Reports one escaped exception: trace, program log, error box (or the
    // processor message when identification failed).
    static void ReportException(kv::IDialogs* dialogs, bool cpuCheckFailed, const QObject* receiver,
                                const char* what);

private:
    kv::IDialogs* dialogs_ = nullptr;
    bool cpuCheckFailed_ = false;
};
