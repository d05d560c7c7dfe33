#include "app/simulated_tour.h"

#include <QApplication>
#include <QDateTime>
#include <QPushButton>
#include <QTabWidget>
#include <QVariant>
#include <cmath>
#include <cstdio>

#include "app/auto_focus_page.h"
#include "app/exposure_page.h"
#include "app/focus_panel.h"
#include "app/focusing_view.h"
#include "app/radio_group.h"
#include "app/main_form.h"
#include "camera/display_rules.h"
#include "focusing/auto_focus_search.h"
#include "sim/observatory.h"

namespace {

constexpr int kTickMs = 50;
// Long enough for an auto focus of a dozen averaged readings.
constexpr qint64 kStepTimeoutMs = 180000;
constexpr int kPastBestFocus = 60;
constexpr int kTourInitialStepItem = 5;  // 150 steps

qint64 NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

}  // namespace

TSimulatedTour::TSimulatedTour(TMainForm& form, QString prefix) : QObject(&form), form_(form), prefix_(std::move(prefix)) {
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &TSimulatedTour::Tick);

    auto* camera = form_.CameraControl();
    auto button = [this](const char* name) { return form_.findChild<QPushButton*>(QString::fromLatin1(name)); };
    auto idle = [this, camera] {
        return camera->Idle() && form_.FocusControl() != nullptr && form_.FocusControl()->GetIdle();
    };

    Add(QStringLiteral("the camera and focuser to be ready"),
        [this, button] { return form_.State().cameraReady && button("GetImageButton") && button("GetImageButton")->isEnabled(); },
        [this, button] {
            form_.PageControl()->setCurrentIndex(TMainForm::ExposureControl);
            button("GetImageButton")->click();
        });
    Add(QStringLiteral("the full image"),
        [this, idle] { return idle() && form_.StatusPanelText(0).startsWith(QStringLiteral(" Image:")); },
        [this] {
            if (!PickStar()) ok_ = false;
        });
    Add(QStringLiteral("the star to be selected"), [this] { return form_.State().starSelected; },
        [this] { StartFocusFrame(); });
    Add(QStringLiteral("the first focus frame"), [this] { return FocusFrameArrived(); },
        [this] {
            PrintReading("at the starting position");
            if (!SavePage(TMainForm::ExposureControl, prefix_ + QStringLiteral("-exposure-control.png"))) ok_ = false;
            // Towards best focus: the hub counts a step in as one step of the
            // simulated telescope's focuser.
            const kvsim::Observatory& sky = kvsim::Observatory::Instance();
            const auto steps = static_cast<std::int32_t>(std::lround(sky.BestFocus() - static_cast<double>(sky.TruePosition())));
            std::printf("Moving the focuser by %d steps towards best focus\n", static_cast<int>(steps));
            form_.PageControl()->setCurrentIndex(TMainForm::ManualFocus);
            form_.FocusControl()->MoveBy(steps);
        });
    Add(QStringLiteral("the move"), idle, [this] { StartFocusFrame(); });
    Add(QStringLiteral("the second focus frame"), [this] { return FocusFrameArrived(); },
        [this] {
            PrintReading("after the move");
            if (!SavePage(TMainForm::ManualFocus, prefix_ + QStringLiteral("-manual-focus.png"))) ok_ = false;
            std::printf("Moving %d steps past best focus for the auto focus to find it again\n", kPastBestFocus);
            form_.FocusControl()->MoveBy(kPastBestFocus);
        });
    Add(QStringLiteral("the move past best focus"), idle, [this] {
        // Both methods start from here, by the drive's count, so backlash
        // in the simulated focuser does not move the second start.
        startDrive_ = kvsim::Observatory::Instance().DrivePosition();
        connect(form_.Focusing(), &TFocusingView::searchDetails, this, [this](const QVariantMap& details) {
            frames_ = details.value(QStringLiteral("frames")).toInt();
        });
        connect(form_.Focusing(), &TFocusingView::procedureEnded, this,
                [this](const QString& procedure, bool completed, int position, double fom, const QString& message) {
                    if (procedure != QLatin1String("autofocus")) return;
                    searchEnded_ = true;
                    const kvsim::Observatory& sky = kvsim::Observatory::Instance();
                    const char* method = method_ == TAutoFocusPage::kCurveFitItem ? "curve fit" : "golden section";
                    if (completed) {
                        std::printf("Auto focus by %s ended at position %d, figure of merit %.2f, %ld steps from the "
                                    "simulated telescope's best focus, after %d focus frames\n",
                                    method, position, fom,
                                    std::lround(static_cast<double>(sky.TruePosition()) - sky.BestFocus()), frames_);
                    } else {
                        std::printf("Auto focus by %s did not complete after %d focus frames: %s\n", method, frames_,
                                    message.simplified().toLocal8Bit().constData());
                        ok_ = false;
                    }
                });
        StartAutoFocus(TAutoFocusPage::kGoldenSectionItem);
    });
    Add(QStringLiteral("the golden-section auto focus"), [this, idle] { return searchEnded_ && idle(); }, [this] {
        if (!SavePage(TMainForm::AutoFocus, prefix_ + QStringLiteral("-auto-focus-golden.png"))) ok_ = false;
        const auto back = static_cast<std::int32_t>(startDrive_ - kvsim::Observatory::Instance().DrivePosition());
        std::printf("Moving the focuser back by %d steps to where the golden section started\n", static_cast<int>(back));
        form_.FocusControl()->MoveBy(back);
    });
    Add(QStringLiteral("the move back to the start"), idle, [this] { StartAutoFocus(TAutoFocusPage::kCurveFitItem); });
    Add(QStringLiteral("the curve-fit auto focus"), [this, idle] { return searchEnded_ && idle(); }, [this] {
        if (!SavePage(TMainForm::AutoFocus, prefix_ + QStringLiteral("-auto-focus.png"))) ok_ = false;
    });
}

void TSimulatedTour::StartAutoFocus(int methodItem) {
    method_ = methodItem;
    searchEnded_ = false;
    frames_ = 0;
    form_.PageControl()->setCurrentIndex(TMainForm::AutoFocus);
    // The golden section's bracket must reach twice as far as best focus
    // lies from the start; the curve fit samples at the same spacing.
    form_.AutoFocusPage()->InitialStepRG()->SetItemIndex(kTourInitialStepItem);
    form_.AutoFocusPage()->MethodRG()->SetItemIndex(methodItem);
    std::printf("Auto focus by %s with a step of %d\n",
                methodItem == TAutoFocusPage::kCurveFitItem ? "curve fit" : "golden section",
                kv::InitialStepForItem(kTourInitialStepItem));
    if (auto* start = form_.findChild<QPushButton*>(QStringLiteral("StartSearch"))) start->click();
}

void TSimulatedTour::Add(const QString& what, std::function<bool()> ready, std::function<void()> action) {
    steps_.push_back({what, std::move(ready), std::move(action)});
}

void TSimulatedTour::Start() {
    next_ = 0;
    stepStartedMs_ = NowMs();
    timer_.start();
}

void TSimulatedTour::Tick() {
    if (next_ >= steps_.size()) return;
    Step& step = steps_[next_];
    if (!step.ready()) {
        if (NowMs() - stepStartedMs_ > kStepTimeoutMs) {
            std::printf("The tour stopped: it waited %lld s for %s\n", kStepTimeoutMs / 1000,
                        step.what.toLocal8Bit().constData());
            std::fflush(stdout);
            timer_.stop();
            emit finished(false);
        }
        return;
    }
    step.action();
    ++next_;
    stepStartedMs_ = NowMs();
    if (next_ == steps_.size() || !ok_) {
        timer_.stop();
        std::fflush(stdout);
        emit finished(ok_);
    }
}

bool TSimulatedTour::PickStar() {
    // As the user would: the Pick Star button, whose choice the window logs.
    kv::FoundStar star;
    const QString why = form_.ExposurePage()->PickStar(&star);
    if (!why.isEmpty()) {
        std::printf("Pick Star found no star: %s\n", why.toLocal8Bit().constData());
        return false;
    }
    std::printf("Pick Star chose the star at X %.1f, Y %.1f (HFD %.2f px, SNR %.0f)\n", star.x, star.y, star.hfd, star.snr);
    return true;
}

void TSimulatedTour::StartFocusFrame() {
    form_.FocusPanel()->ClearFocusReadings();
    if (auto* b = form_.findChild<QPushButton*>(QStringLiteral("GetFocusImageButton"))) b->click();
}

bool TSimulatedTour::FocusFrameArrived() const {
    const QWidget* box = form_.findChild<QWidget*>(QStringLiteral("FWHMEdit"));
    return form_.CameraControl()->Idle() && box != nullptr && !box->property("text").toString().isEmpty();
}

void TSimulatedTour::PrintReading(const char* where) {
    const kv::FocusReading r = form_.CameraControl()->Reading();
    const std::int32_t position = form_.FocusControl() != nullptr ? form_.FocusControl()->CTSCount() : 0;
    std::printf("Focus frame %s (position %s): FWHM %.2f px (x %.2f, y %.2f), HFD %.2f px, Peak %d\n", where,
                kv::PositionText(position).c_str(), r.FWHM, r.xFWHM, r.yFWHM, r.HFD, static_cast<int>(r.Peak));
}

bool TSimulatedTour::SavePage(int page, const QString& file) {
    form_.PageControl()->setCurrentIndex(page);
    QApplication::processEvents();
    const bool saved = form_.grab().save(file);
    std::printf(saved ? "Saved %s\n" : "Could not save %s\n", file.toLocal8Bit().constData());
    return saved;
}
