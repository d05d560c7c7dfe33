#include "app/qt_dialogs.h"

#include <QApplication>
#include <QMessageBox>

#include "widgets/night_vision.h"
#include <QThread>
#include <cstdio>

kv::DialogResult QtDialogs::Show(const std::string& text, kv::DialogType type, kv::DialogButtons buttons) {
    const QString qtext = QString::fromStdString(text);
    if (unattended_) {
        std::fprintf(stdout, "Kessivane: %s\n", text.c_str());
        std::fflush(stdout);
        const bool question = buttons == kv::DialogButtons::YesNo || buttons == kv::DialogButtons::YesCancel;
        return question ? kv::DialogResult::Yes : kv::DialogResult::Ok;
    }
    if (QThread::currentThread() == thread()) return ShowOnGuiThread(qtext, type, buttons);
    kv::DialogResult result = kv::DialogResult::Ok;
    QMetaObject::invokeMethod(
        this, [&] { result = ShowOnGuiThread(qtext, type, buttons); }, Qt::BlockingQueuedConnection);
    return result;
}

void QtDialogs::Defer(const kv::DeferredMessage& message) {
    QMetaObject::invokeMethod(
        this, [this, message] { Show(message.text, message.type, message.buttons); }, Qt::QueuedConnection);
}

void QtDialogs::Beep() { QApplication::beep(); }

kv::DialogResult QtDialogs::ShowOnGuiThread(const QString& text, kv::DialogType type,
                                            kv::DialogButtons buttons) {
    QMessageBox box(window_.data());
    box.setWindowTitle(QStringLiteral("Kessivane"));
    box.setText(text);
    switch (type) {
        case kv::DialogType::Error: box.setIcon(QMessageBox::Critical); break;
        case kv::DialogType::Warning: box.setIcon(QMessageBox::Warning); break;
        case kv::DialogType::Information: box.setIcon(QMessageBox::Information); break;
        case kv::DialogType::Confirmation: box.setIcon(QMessageBox::Question); break;
    }
    switch (buttons) {
        case kv::DialogButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
        case kv::DialogButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
        case kv::DialogButtons::OkRetry: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Retry); break;
        case kv::DialogButtons::YesCancel: box.setStandardButtons(QMessageBox::Yes | QMessageBox::Cancel); break;
    }
    // The style's icons are coloured pictures, which the palette does not reach.
    if (kv::NightVision()) box.setIconPixmap(kv::NightPixmap(box.iconPixmap()));
    switch (box.exec()) {
        case QMessageBox::Yes: return kv::DialogResult::Yes;
        case QMessageBox::No: return kv::DialogResult::No;
        case QMessageBox::Retry: return kv::DialogResult::Retry;
        case QMessageBox::Cancel: return kv::DialogResult::Cancel;
        default: return kv::DialogResult::Ok;
    }
}
