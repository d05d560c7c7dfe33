// Message boxes for the engine's dialog interface. Called on the GUI thread the
// box is shown at once; called from a worker, the worker waits while the GUI
// thread shows it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "platform/dialogs.h"

class QtDialogs : public QObject, public kv::IDialogs {
    Q_OBJECT
public:
    explicit QtDialogs(QObject* parent = nullptr) : QObject(parent) {}
    kv::DialogResult Show(const std::string& text, kv::DialogType type, kv::DialogButtons buttons) override;
    // Queued to the GUI thread; the caller goes on at once.
    void Defer(const kv::DeferredMessage& message) override;
    void Beep() override;
    // With nobody at the screen (a run that only takes a screenshot) a box
    // would wait for ever: print its text and give the first button instead.
    void SetUnattended(bool on) { unattended_ = on; }
    // The window boxes belong to. Not whatever window is active: a splash
    // that hides takes its child boxes with it, and they return unanswered.
    void SetWindow(QWidget* window) { window_ = window; }

private:
    bool unattended_ = false;
    QPointer<QWidget> window_;
    kv::DialogResult ShowOnGuiThread(const QString& text, kv::DialogType type, kv::DialogButtons buttons);
};
