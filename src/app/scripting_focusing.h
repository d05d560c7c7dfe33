// The focusing procedures and the refocus triggers on the session bus: takes
// the window as a program driving it sees it (TScriptedWindow) and gives the
// Focusing and Refocus objects that RegisterScripting puts on the bus. The
// rules of scripting_service.h hold here too: GUI thread, answers at once.
#pragma once

#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <optional>

#include "app/scripted_window.h"

class TFocusingService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Focusing")
public:
    explicit TFocusingService(TScriptedWindow& form, QObject* parent = nullptr);

public slots:
    // Starts an auto focus with this initial step (one of the Auto Focus
    // page's choices) by the method chosen on the page; Progress,
    // AutoFocusFinished and Finished follow.
    void StartAutoFocus(int initialStep);
    // The same by `method`: "golden" (golden section) or "fit" (curve fit);
    // the page's method is set to it, as a user would.
    void StartAutoFocus(int initialStep, const QString& method);
    // The same, each reading measuring `measure`: "star" (the focus star)
    // or "field" (the median over the whole field's stars); the page's
    // choice is set to it. An empty `method` keeps the page's method.
    void StartAutoFocus(int initialStep, const QString& method, const QString& measure);
    // Starts a scan: from `start` steps, `steps` increments of `increment`.
    void StartScan(int start, int increment, int steps);
    void Cancel();
    bool Running();
    // The Auto Focus page's optics (docs/scripting.md lists the keys): the
    // focal ratio and step size as its boxes hold them (0: unset) and the
    // critical focus zone in steps they give, when they give one.
    QVariantMap Optics();
    // Sets the boxes given (focalRatio, stepSize), as the user would; each
    // changed one is kept in the settings file. An unknown key or a value
    // out of the box's range refuses the whole call, changing nothing.
    void SetOptics(const QVariantMap& values);
    // The optics the last whole-field curve fit read, as the Auto Focus
    // page's map shows them (docs/scripting.md lists the keys); NotReady
    // until a whole-field run has given a report.
    QVariantMap Inspect();

signals:
    // procedure is "autofocus" or "scan".
    void Progress(const QString& procedure, int step, int position, double fom);
    void Finished(const QString& procedure, bool completed, int position, double fom, const QString& message);
    // Sent just before an auto focus's Finished, with what that signal has no
    // room for (docs/scripting.md lists the keys): the method, frames used,
    // the focuser's absolute position where it has one, and for a curve fit
    // R^2, the model and its parameters.
    void AutoFocusFinished(const QVariantMap& details);

private:
    // Without a refusal: true. Checks only, nothing changes.
    bool CanStart();
    // methodItem: the page's method item, or nullopt to keep the page's choice.
    void Start(int initialStep, std::optional<int> methodItem, std::optional<int> measureItem = std::nullopt);
    bool Allowed();
    TScriptedWindow& form_;
};

class TRefocusService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kessivane.Refocus")
public:
    explicit TRefocusService(TScriptedWindow& form, QObject* parent = nullptr);

public slots:
    // The refocus triggers as the Settings page shows them (docs/scripting.md
    // lists the keys), and whether the rules are armed.
    QVariantMap Triggers();
    // Changes the keys given, as the user would; the rest stay. An unknown
    // key or a value out of range refuses the whole call, changing nothing.
    void SetTriggers(const QVariantMap& values);
    // An HFD (pixels) the caller measured on its own frames, for the HFD
    // rule: compared only with the caller's earlier reports.
    void ReportHfd(double hfd);

signals:
    // A trigger fired and the refocus is being started: the rule ("time",
    // "temperature", "hfd") and the reason with its figures.
    void Triggered(const QString& rule, const QString& reason);

private:
    bool Allowed();
    TScriptedWindow& form_;
};
