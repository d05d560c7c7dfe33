// The main window as the user left it: size, place, maximised state, page
// and night vision, read from the settings file at start and written back
// only where they differ from the start. Takes the window and its settings
// file; gives the restored layout and the keys written at close.
#include "app/main_form.h"

#include <QApplication>
#include <QChartView>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <QWidget>
#include <algorithm>
#include <string>

#include "app/chart_style.h"
#include "app/focus_panel.h"
#include "app/tc_window.h"
#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"
#include "widgets/night_vision.h"

void TMainForm::ApplyWindowPosition(const kv::Settings& s) {
    if (s.savePosition) move(KeepOnAvailableScreen(QPoint(s.left, s.top), frameGeometry().size()));
    const bool showInterrupts = s.interruptsLite != 0;
    focusPanel_->ShowInterruptsLite(showInterrupts);
}

// ---------------------------------------------------------------- window layout

namespace {

constexpr const char* kPositionSection = "Position";
constexpr const char* kWidthKey = "Width";
constexpr const char* kHeightKey = "Height";
constexpr const char* kMaximizedKey = "Maximized";
constexpr const char* kPageKey = "Page";
constexpr const char* kNightVisionKey = "NightVision";

}  // namespace

void TMainForm::RestoreWindowLayout() {
    const kv::IniFile ini = kv::IniFile::Load(iniPath_);
    const int width = static_cast<int>(ini.GetInteger(kPositionSection, kWidthKey, 0));
    const int height = static_cast<int>(ini.GetInteger(kPositionSection, kHeightKey, 0));
    if (width > 0 && height > 0) {
        // A size kept on a larger screen must not put the window's edges out of reach.
        QSize want(std::max(width, kClientWidth), std::max(height, kClientHeight));
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            want = want.boundedTo(screen->availableGeometry().size()).expandedTo(minimumSize());
        }
        resize(want);
    }
    if (ini.GetBool(kPositionSection, kMaximizedKey, false)) setWindowState(windowState() | Qt::WindowMaximized);
    const int page = static_cast<int>(ini.GetInteger(kPositionSection, kPageKey, ExposureControl));
    // Temp Control shows only once its unit answers; until then the first page stands in.
    if (page > 0 && page < pc1_->count() && pc1_->isTabVisible(page)) pc1_->setCurrentIndex(page);
    if (ini.GetBool("Misc", kNightVisionKey, false)) SetNightVision(true);
    startPos_ = pos();
    startSize_ = size();
    startMaximized_ = windowState().testFlag(Qt::WindowMaximized);
    startPage_ = pc1_->currentIndex();
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    // Where the desktop first put the window is not the user's move.
    startPos_ = pos();
}

void TMainForm::SaveWindowLayout() {
    // Nobody arranged the window in an unattended run (--screenshot, --tour):
    // the user's next start must come up as they left it.
    if (unattended_) return;
    const auto report = [](const kv::WriteResult& r) {
        if (!r.ok) kv::WriteProgramLog(r.message);
    };
    const bool maximized = windowState().testFlag(Qt::WindowMaximized);
    // A maximised window keeps the place and size it goes back to.
    if (!maximized && pos() != startPos_) report(kv::SaveWindowPosition(iniPath_, x(), y()));
    const QSize normal = maximized && normalGeometry().isValid() ? normalGeometry().size() : size();
    if (normal != startSize_) {
        report(kv::SaveSettingValue(iniPath_, kPositionSection, kWidthKey, std::to_string(normal.width())));
        report(kv::SaveSettingValue(iniPath_, kPositionSection, kHeightKey, std::to_string(normal.height())));
    }
    if (maximized != startMaximized_) {
        report(kv::SaveSettingValue(iniPath_, kPositionSection, kMaximizedKey, maximized ? "1" : "0"));
    }
    if (tcWindow_->Moved()) {
        loaded_.tcLeft = tcWindow_->x();
        loaded_.tcTop = tcWindow_->y();
        report(kv::SaveSettingValue(iniPath_, kPositionSection, "TCLeft", std::to_string(loaded_.tcLeft)));
        report(kv::SaveSettingValue(iniPath_, kPositionSection, "TCTop", std::to_string(loaded_.tcTop)));
    }
    if (pc1_->currentIndex() != startPage_) {
        report(kv::SaveSettingValue(iniPath_, kPositionSection, kPageKey, std::to_string(pc1_->currentIndex())));
    }
}

void TMainForm::SaveNightVision() {
    if (iniPath_.empty()) return;
    const auto saved = kv::SaveSettingValue(iniPath_, "Misc", kNightVisionKey, night_ ? "1" : "0");
    if (!saved.ok) {
        kv::WriteProgramLog(saved.message);
        dialogs_.Show(saved.message, kv::DialogType::Error, kv::DialogButtons::Ok);
    }
}

void TMainForm::SetNightVision(bool on) {
    static const QPalette day = QApplication::palette();
    night_ = on;
    kv::SetNightVision(on);
    if (on) kv::UseNightIndicators();
    QApplication::setPalette(on ? kv::NightPalette() : day);
    if (auto* position = findChild<QLabel*>(QStringLiteral("CTSLabel"))) {
        position->setStyleSheet(on ? QStringLiteral("background: black; color: red;")
                                   : QStringLiteral("background: black; color: lime;"));
    }
    for (QWidget* top : QApplication::topLevelWidgets()) {
        for (QChartView* view : top->findChildren<QChartView*>()) {
            if (view->chart() != nullptr) ShowChartAtNight(view->chart(), on);
        }
    }
    for (QWidget* w : QApplication::allWidgets()) {
        // A style sheet keeps the palette it was applied with until it is applied again.
        if (!w->styleSheet().isEmpty()) w->setStyleSheet(w->styleSheet());
        // Lamps, meters and pictures read the setting when they paint.
        w->update();
    }
}

void TMainForm::PlaceFocusPanel() {
    // It keeps its width at the right edge; the pages give it the room it
    // covers. A taller window lends it height down to the pages' bottom, so a
    // large focus frame leaves room for every control under it.
    const int pagesBottom = pc1_->geometry().bottom() - 4;
    const int height = std::max(TFocusPanel::kHeight, pagesBottom - focusPanel_->y() - 4);
    focusPanel_->setGeometry(central_->width() - TFocusPanel::kWidth - 4, focusPanel_->y(), TFocusPanel::kWidth, height);
}

// ---------------------------------------------------------------- settings
