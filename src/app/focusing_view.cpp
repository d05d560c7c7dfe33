#include "app/focusing_view.h"

#include "widgets/night_vision.h"

#include <QLabel>
#include <QChart>
#include <QAbstractButton>
#include <QCheckBox>
#include <QLineSeries>
#include <QProgressBar>
#include <QSpinBox>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <utility>

#include "app/auto_focus_page.h"
#include "app/exposure_page.h"
#include "app/focus_panel.h"
#include "app/manual_focus_page.h"
#include "app/page_context.h"
#include "platform/dialogs.h"
#include "app/radio_group.h"
#include "app/temp_page.h"
#include "camera/camera_control.h"
#include "focuser/focus_control.h"
#include "focusing/aberration.h"
#include "focusing/critical_focus_zone.h"
#include "focusing/focus_zone.h"
#include "focuser/indi_focus_control.h"
#include "focuser/position_focus_control.h"
#include "platform/c_number.h"
#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "tempcomp/compensator.h"
#include "tempcomp/tc_texts.h"

namespace {

// A whole-field curve fit holds the optics' state too: each reading's stars,
// region by region, on the curve the whole field learned. Positions and the
// fit are both on the focuser's count, which grows outwards (as the In/Out
// lamps read it). Nothing to inspect without the field's stars or a fit;
// without the optics that turn steps into µm the report says so.
std::optional<kv::InspectInput> InspectionOf(const kv::SearchResult& result, const kv::FocusZoneOptics& optics,
                                             double pixelMicrons) {
    if (!result.fit || result.fit->refinement || result.fit->parameters.empty()) return std::nullopt;
    if (result.method == kv::FocusMethod::QuickRefocus && !result.fellBack) return std::nullopt;
    kv::InspectInput in;
    for (const kv::CurveSample& c : result.measured) {
        if (!c.star || !c.field) continue;
        in.sensorWidth = c.field->width;
        in.sensorHeight = c.field->height;
        kv::InspectReading reading{static_cast<double>(c.position), {}};
        reading.stars.reserve(c.field->stars.size());
        for (const kv::FieldStar& s : c.field->stars) reading.stars.push_back({s.x, s.y, s.hfd});
        in.readings.push_back(std::move(reading));
    }
    if (in.readings.empty()) return std::nullopt;
    in.pixelMicrons = pixelMicrons;
    in.focalRatio = optics.focalRatio.value_or(0.0);
    in.stepMicrons = optics.StepMicrons().value_or(0.0);
    in.positionsGrowOutward = true;
    in.fieldFit.ok = true;
    in.fieldFit.model = result.fit->model;
    in.fieldFit.parameters = result.fit->parameters;
    in.fieldFit.minimumX = result.fit->bestPosition;
    return in;
}

constexpr int kChartLineWidth = 2;

// Controls the procedures disable while they run (the Cancel buttons aside).
constexpr std::initializer_list<const char*> kScanLocks = {
    "ContFocus", "GetFocusImageButton", "GetFocusImageButton2", "StartScanButton", "StartSearch", "GetImageButton",
    "MoveToMinButton", "MoveMinSE", "AboutButton", "Focus_OutBtn", "Focus_InBtn"};
constexpr std::initializer_list<const char*> kSearchLocks = {
    "ContFocus", "GetFocusImageButton", "GetFocusImageButton2", "ScanCancelButton", "StartScanButton",
    "StartSearch", "GetImageButton", "AboutButton", "Focus_OutBtn", "Focus_InBtn"};
// The manual moves, locked from the start of a procedure to its end whatever
// the outcome (Cancel included): a move in between shifts every later point.
constexpr std::initializer_list<const char*> kMoveLocks = {
    "In10", "In5", "In1", "Out1", "Out5", "Out10", "MoveByButton", "MoveToButton", "ResetButton"};
// What a click on Cancel gives back at once.
constexpr std::initializer_list<const char*> kScanCancelFrees = {
    "StartScanButton", "GetImageButton", "StartSearch", "ContFocus", "GetFocusImageButton", "GetFocusImageButton2",
    "Focus_OutBtn", "Focus_InBtn"};
constexpr std::initializer_list<const char*> kSearchFrees = {
    "StartSearch", "GetImageButton", "StartScanButton", "ContFocus", "GetFocusImageButton", "GetFocusImageButton2",
    "AboutButton", "Focus_OutBtn", "Focus_InBtn"};

QLineSeries* FirstSeries(QChart* chart) {
    return chart != nullptr && !chart->series().isEmpty() ? qobject_cast<QLineSeries*>(chart->series().first())
                                                          : nullptr;
}

void StartSeries(QLineSeries* series) {
    if (series == nullptr) return;
    series->clear();
    QPen pen = series->pen();
    pen.setWidth(kChartLineWidth);
    pen.setColor(kv::ShownColor(Qt::blue));
    series->setPen(pen);
}

}  // namespace

TFocusingView::TFocusingView(TPageContext& form)
    : form_(form), runner_(std::make_unique<kv::TFocusingRunner>(*this, form.EngineDialogs())) {
    // The runner reads both at every averaged reading, so a change made
    // while a procedure runs applies to its next position.
    if (auto* samples = form_.Window().findChild<QSpinBox*>(QStringLiteral("FocusSamples"))) {
        runner_->SetSamples(samples->value());
        connect(samples, &QSpinBox::valueChanged, this, [this](int n) { runner_->SetSamples(n); });
    }
    if (auto* smooth = form_.Window().findChild<QCheckBox*>(QStringLiteral("SmoothDataCB"))) {
        runner_->SetSmooth(smooth->isChecked());
        connect(smooth, &QCheckBox::toggled, this, [this](bool on) { runner_->SetSmooth(on); });
    }
    const std::pair<const char*, void (TFocusingView::*)()> buttons[] = {
        {"StartScanButton", &TFocusingView::StartScanButtonClick},
        {"ScanCancelButton", &TFocusingView::ScanCancelButtonClick},
        {"StartSearch", &TFocusingView::StartSearchClick},
        {"CancelSearch", &TFocusingView::CancelSearchClick},
    };
    for (const auto& [name, handler] : buttons) {
        if (auto* b = form_.Window().findChild<QAbstractButton*>(QString::fromLatin1(name))) connect(b, &QAbstractButton::clicked, this, handler);
    }
}

TFocusingView::~TFocusingView() { runner_.reset(); }

void TFocusingView::CancelAndJoin() {
    runner_->Cancel();
    runner_->Join();
}

template <class F>
void TFocusingView::Post(F&& f) {
    QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
}

void TFocusingView::SetEnabled(std::initializer_list<const char*> names, bool enabled) {
    for (const char* name : names) {
        if (auto* w = form_.Window().findChild<QWidget*>(QString::fromLatin1(name))) w->setEnabled(enabled);
    }
}

void TFocusingView::EnableAfter(std::initializer_list<const char*> names) {
    const TWindowState& state = form_.State();
    for (const char* name : names) {
        const std::string_view n(name);
        bool on = true;
        if (n == "GetImageButton") on = state.cameraReady;
        if (n == "ContFocus" || n == "GetFocusImageButton" || n == "GetFocusImageButton2" || n == "StartScanButton" ||
            n == "StartSearch") {
            on = state.starSelected;
        }
        if (n == "Focus_InBtn" || n == "Focus_OutBtn" || n.starts_with("In") || n.starts_with("Out")) {
            kv::TFocusControl* focuser = form_.FocusControl();
            on = focuser == nullptr || focuser->GetIdle();
        }
        if (auto* w = form_.Window().findChild<QWidget*>(QString::fromLatin1(name))) w->setEnabled(on);
    }
}

void TFocusingView::ShowLogWarning() {
    const std::optional<std::string> warning = log_ ? log_->TakeWarning() : std::nullopt;
    if (!warning) return;
    kv::WriteProgramLog(*warning);
    // The widest panel; the whole text stays at hand under the pointer.
    form_.SetStatusPanel(2, QString::fromStdString(*warning));
    if (auto* panel = form_.Window().findChild<QWidget*>(QStringLiteral("StatusPanel2"))) {
        panel->setToolTip(QString::fromStdString(*warning));
    }
}

void TFocusingView::SetProgress(int position, int maximum) {
    if (auto* bar = form_.Window().findChild<QProgressBar*>(QStringLiteral("ProgressBar2"))) {
        bar->setMaximum(std::max(1, maximum));
        bar->setValue(position);
    }
}

// ---------------------------------------------------------------- starting

std::unique_ptr<kv::IFocusDevices> TFocusingView::PrepareStart() {
    kv::TCameraControl* camera = form_.CameraControl();
    kv::TFocusControl* focuser = form_.FocusControl();
    if (camera == nullptr || focuser == nullptr || runner_->Running()) return nullptr;
    form_.StopContinuousFocus();
    if (auto* samples = form_.Window().findChild<QSpinBox*>(QStringLiteral("FocusSamples"))) runner_->SetSamples(samples->value());
    if (auto* smooth = form_.Window().findChild<QCheckBox*>(QStringLiteral("SmoothDataCB"))) runner_->SetSmooth(smooth->isChecked());
    // Under the interlock the camera's frames and the focuser's moves take
    // turns already; elsewhere a fresh frame shows the star the procedure
    // is about to measure.
    if (!(camera->IsSBIG() && focuser->JMIFlag())) form_.ManualFocusPage()->GetFocusImageButtonClick();
    // Made once the settings folder is known, and again if it moved.
    const std::string logPath = form_.FocusLogPath();
    if (!log_ || log_->Path() != logPath) log_ = std::make_unique<kv::TFocusLog>(logPath);
    runner_->SetFocusLog(log_.get());
    auto devices = std::make_unique<kv::TFocuserCameraDevices>(*focuser, *camera);
    if (form_.FocusPanel()->SaveFocusFrames()) {
        devices->SaveFramesWith(std::make_unique<kv::TFocusFrameRecorder>(
            form_.FocusPanel()->FocusFramesFolder().toStdString(), form_.EngineDialogs()));
    }
    return devices;
}

// The share of the figure the last fit still found its star at that the quick
// refocus's readings may reach.
constexpr double kQuickReachShare = 0.8;

kv::LearnedCurves& TFocusingView::Learned() {
    // Beside the focus log, in the settings folder.
    std::string path = form_.FocusLogPath();
    path.resize(path.size() - std::min(path.size(), std::string_view(kv::kFocusLogFileName).size()));
    path += kv::kLearnedCurvesFileName;
    if (learnedPath_ != path) {
        learnedPath_ = path;
        std::ifstream in(path, std::ios::binary);
        learned_ = in ? kv::ParseLearnedCurves(std::string(std::istreambuf_iterator<char>(in), {})) : kv::LearnedCurves{};
    }
    return learned_;
}

void TFocusingView::Learn(const kv::SearchResult& result) {
    kv::LearnedCurves& learned = Learned();
    const auto now = std::chrono::system_clock::now();
    const bool quickAnswer = result.method == kv::FocusMethod::QuickRefocus && !result.fellBack;
    if (quickAnswer && result.found) {
        learned.AddFocus({now, static_cast<double>(result.scale.ToLog(*result.found)), result.temperatureC});
    } else if (result.method != kv::FocusMethod::GoldenSection && result.fit && !result.fit->refinement) {
        kv::FitRecord record;
        record.fit = *result.fit;
        result.scale.ToLog(record.fit);
        record.scatter = kv::BottomScatter(*result.fit, result.measured).value_or(0.0);
        record.time = now;
        record.temperatureC = result.temperatureC;
        if (kv::TCameraControl* camera = form_.CameraControl()) {
            record.exposureSeconds = camera->ExposureTime();
            record.binning = std::max(1, camera->CameraData().FocusBinning);
        }
        // Sizes grow with defocus; the peak's sample says nothing of reach.
        double reached = 0.0;
        if (!kv::LargerIsBetter(record.fit.kind)) {
            for (const kv::CurveSample& s : result.measured)
                if (s.star) reached = std::max(reached, s.fom);
        }
        learned.AddFit(record, result.absoluteScale, reached);
    } else {
        return;
    }
    if (learned.NothingToKeep() && !std::filesystem::exists(*learnedPath_)) return;
    const kv::WriteResult written =
        kv::WriteFileAtomically(*learnedPath_, kv::FormatLearnedCurves(learned), "learned focus curves");
    if (!written.ok) kv::WriteProgramLog(written.message + " - the next quick refocus after a restart needs a curve fit first");
}

void TFocusingView::PrepareQuick(kv::SearchOptions& options) {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    kv::ShapeCriteria criteria;
    criteria.kind = camera->MeasureKind();
    criteria.exposureSeconds = camera->ExposureTime();
    criteria.binning = std::max(1, camera->CameraData().FocusBinning);
    criteria.now = std::chrono::system_clock::now();
    options.quick.learned = Learned().Learn(criteria);
    // No reading as far out as the fit itself last saw the star (the seeing
    // varies): one that loses it costs the whole walk of the fallback.
    if (const std::optional<double> reached = Learned().Reached(criteria.kind))
        options.quick.maxFigure = kQuickReachShare * *reached;
    // The coefficient as the Temp Control page holds it, in steps per degree
    // of the focuser's own count; one that does not read predicts no drift.
    std::string slope = form_.TempPage()->Compensator().SlopeText();
    std::replace(slope.begin(), slope.end(), ',', '.');
    const std::string_view trimmed = kv::TrimText(slope);
    if (const std::optional<double> c = kv::ParseDoubleC(trimmed); c && *c != 0.0) options.quick.coefficient = *c;
}

void TFocusingView::WarnIfCompensating() {
    // A correction may move the focuser in the middle of the procedure; the
    // user is told, and decides whether to switch compensation off.
    if (!form_.TempPage()->AutoCompensating()) return;
    form_.Dialogs().Show(kv::kTempCompUnderwayText, kv::DialogType::Warning, kv::DialogButtons::Ok);
    form_.Dialogs().Beep();
}

void TFocusingView::StartScanButtonClick() {
    WarnIfCompensating();
    auto devices = PrepareStart();
    if (!devices) return;
    scanSettings_ = form_.ManualFocusPage()->ScanSettings();
    if (runner_->StartScan(std::move(devices), scanSettings_)) started_ = Procedure::Scan;
    if (runner_->Running()) SetEnabled(kMoveLocks, false);
}

void TFocusingView::StartSearchClick() {
    WarnIfCompensating();
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr || !focuser->GetIdle()) return;
    // The camera may have come since the choice was made.
    form_.AutoFocusPage()->ApplyMeasure();
    auto devices = PrepareStart();
    if (!devices) return;
    kv::SearchOptions options = form_.AutoFocusPage()->SearchOptions();
    if (options.method == kv::FocusMethod::QuickRefocus) PrepareQuick(options);
    if (runner_->StartSearch(std::move(devices), options)) {
        method_ = options.method;
        started_ = Procedure::AutoFocus;
    }
    if (runner_->Running()) SetEnabled(kMoveLocks, false);
}

void TFocusingView::ScanCancelButtonClick() {
    SetEnabled({"ScanCancelButton"}, false);
    EnableAfter(kScanCancelFrees);
    form_.ManualFocusPage()->StopAnnouncer();
    runner_->Cancel();
    SetProgress(0, runner_->Samples());
}

void TFocusingView::CancelSearchClick() {
    SetEnabled({"CancelSearch"}, false);
    EnableAfter(kSearchFrees);
    form_.ManualFocusPage()->StopAnnouncer();
    runner_->Cancel();
    SetProgress(0, runner_->Samples());
}

// ---------------------------------------------------------------- reports (worker thread)

void TFocusingView::SampleProgress(int position, int maximum) {
    Post([this, position, maximum] { SetProgress(position, maximum); });
}

void TFocusingView::SampleTaken(const kv::FocusReading& sample) {
    Post([this, sample] { form_.FocusPanel()->ShowFocusReading(sample); });
}

void TFocusingView::StatusPanel(const std::string& text) {
    Post([this, text] { form_.SetStatusPanel(0, QString::fromStdString(text)); });
}

void TFocusingView::ScanStarted(const kv::AxisRange&) {
    Post([this] {
        scanPoints_ = 0;
        SetEnabled(kScanLocks, false);
        SetEnabled(kMoveLocks, false);
        SetEnabled({"ScanCancelButton"}, true);
        QChart* chart = form_.ManualFocusPage()->ScanChart();
        StartSeries(FirstSeries(chart));
        form_.ManualFocusPage()->ShowScanAxis(scanSettings_);
        const int kind = form_.CameraControl() != nullptr ? static_cast<int>(form_.CameraControl()->MeasureKind()) : 0;
        SetFomAxis(chart, kind);
        SetFomAxis(form_.AutoFocusPage()->QualityChart(), kind);
    });
}

void TFocusingView::ScanPoint(const kv::ChartPoint& point) {
    Post([this, point] {
        QChart* chart = form_.ManualFocusPage()->ScanChart();
        if (QLineSeries* series = FirstSeries(chart)) series->append(point.x, point.y);
        WidenToShow(chart, Qt::Vertical, point.y);
        emit procedureProgress(QStringLiteral("scan"), ++scanPoints_, static_cast<int>(point.x), point.y);
    });
}

void TFocusingView::ScanEnded(const kv::ScanResult& result) {
    const std::optional<std::int32_t> best =
        result.outcome == kv::FocusOutcome::Completed ? result.best : std::optional<std::int32_t>();
    double bestFom = 0.0;
    for (const auto& p : result.points) {
        if (best && static_cast<std::int32_t>(p.x) == *best) bestFom = p.y;
    }
    const QString message = QString::fromStdString(result.message);
    Post([this, best, bestFom, message] {
        SetEnabled({"ScanCancelButton"}, false);
        EnableAfter(kScanLocks);
        EnableAfter(kMoveLocks);
        if (best) {
            if (auto* moveMin = form_.Window().findChild<QSpinBox*>(QStringLiteral("MoveMinSE"))) moveMin->setValue(*best);
        }
        emit procedureEnded(QStringLiteral("scan"), best.has_value(), best.value_or(0), bestFom,
                            best ? QString() : (message.isEmpty() ? QStringLiteral("Scan cancelled") : message));
        ShowLogWarning();
    });
}

void TFocusingView::SearchStarted(const kv::SearchChartAxes& axes) {
    Post([this, axes] {
        SetEnabled(kSearchLocks, false);
        SetEnabled(kMoveLocks, false);
        SetEnabled({"CancelSearch"}, true);
        TAutoFocusPage* page = form_.AutoFocusPage();
        searchReadings_ = 0;
        StartSeries(FirstSeries(page->QualityChart()));
        StartSeries(FirstSeries(page->PosChart()));
        page->ClearFit();
        page->UseQualityAxisFor(method_);
        page->ShowSearchAxes(axes);
        const int kind = form_.CameraControl() != nullptr ? static_cast<int>(form_.CameraControl()->MeasureKind()) : 0;
        SetFomAxis(form_.ManualFocusPage()->ScanChart(), kind);
        SetFomAxis(page->QualityChart(), kind);
        if (!widened_) {
            for (int i = 0; i < 3; ++i) savedWidths_[i] = form_.StatusPanelWidth(i);
            widened_ = true;
        }
        form_.SetStatusPanelWidth(0, kv::kSearchStatusPanelWidth);
    });
}

void TFocusingView::SearchPoint(const kv::SearchPoint& point) {
    Post([this, point] {
        TAutoFocusPage* page = form_.AutoFocusPage();
        if (QLineSeries* s = FirstSeries(page->PosChart())) s->append(point.step, point.position);
        // The stated axes are the least the charts show: a search that walks
        // further, or a star blurred beyond them, widens them.
        WidenToShow(page->PosChart(), Qt::Horizontal, point.step);
        WidenToShow(page->PosChart(), Qt::Vertical, point.position);
        ++searchReadings_;
        if (method_ != kv::FocusMethod::GoldenSection) {
            // The curve is drawn against the position, where its fit will lie.
            AppendCurvePoint(page->QualityChart(), point.position, point.fom);
        } else {
            if (QLineSeries* s = FirstSeries(page->QualityChart())) s->append(point.step, point.fom);
            WidenToShow(page->QualityChart(), Qt::Horizontal, point.step);
            WidenToShow(page->QualityChart(), Qt::Vertical, point.fom);
        }
        emit procedureProgress(QStringLiteral("autofocus"), point.step, point.position, point.fom);
    });
}

void TFocusingView::SearchFit(const kv::FitSummary& fit) {
    Post([this, fit] {
        // The golden section's own points fitted afterwards are only logged:
        // its chart runs against the step number.
        if (!fit.refinement) form_.AutoFocusPage()->ShowFit(fit);
    });
}

void TFocusingView::SearchEnded(const kv::SearchResult& result) {
    Post([this, result] {
        // A search that failed or was refused left the focuser where no
        // reading of its own was taken: a figure there (its all-zero boxes,
        // or the last frame of a walk) would read as a star sharper than any
        // it measured.
        if (result.outcome == kv::FocusOutcome::Failed || result.outcome == kv::FocusOutcome::Rejected)
            form_.FocusPanel()->ClearFocusReadings();
        else if (result.reading)
            form_.FocusPanel()->ShowFocusReading(*result.reading);
        EnableAfter(kSearchFrees);
        EnableAfter(kMoveLocks);
        SetEnabled({"CancelSearch"}, false);
        if (widened_) {
            for (int i = 0; i < 3; ++i) form_.SetStatusPanelWidth(i, savedWidths_[i]);
            widened_ = false;
        }
        const bool completed = result.outcome == kv::FocusOutcome::Completed;
        if (completed) form_.TempPage()->AutoFocusCompleted();
        // A cancel leaves the focuser where the search had taken it (a failed
        // search goes back to its start): say where, so nobody takes it for either.
        const QString why = result.outcome == kv::FocusOutcome::Cancelled
                                ? QStringLiteral("Auto focus cancelled; the focuser stays at position %1, where the "
                                                 "search had taken it")
                                      .arg(result.position)
                                : QString::fromStdString(result.message);
        const bool quick = result.method == kv::FocusMethod::QuickRefocus;
        const bool fit = result.method == kv::FocusMethod::CurveFit || quick;
        if (completed) Learn(result);
        if (completed || result.outcome == kv::FocusOutcome::Uncertain) {
            const double pixel = form_.CameraControl() != nullptr ? form_.CameraControl()->CameraData().HorizPixel : 0.0;
            if (const auto in = InspectionOf(result, form_.AutoFocusPage()->Optics(), pixel))
                form_.AutoFocusPage()->ShowAberration(kv::Inspect(*in), result.temperatureC);
        }
        QVariantMap details{
            {QStringLiteral("method"), quick ? QStringLiteral("quick") : fit ? QStringLiteral("fit") : QStringLiteral("golden")},
            {QStringLiteral("completed"), completed},
            {QStringLiteral("uncertain"), result.outcome == kv::FocusOutcome::Uncertain},
            {QStringLiteral("position"), result.position},
            {QStringLiteral("fom"), result.reading ? result.reading->FOM : 0.0},
            {QStringLiteral("frames"), result.frames},
            {QStringLiteral("coarseFrames"), result.coarseFrames},
            {QStringLiteral("message"), completed ? QString() : why},
        };
        // A whole-field run: how many stars its readings stood for, the
        // fewest of any reading on the curve.
        int fewest = 0;
        for (const kv::CurveSample& c : result.measured)
            if (c.star && c.field) fewest = fewest == 0 ? static_cast<int>(c.field->stars.size())
                                                        : std::min(fewest, static_cast<int>(c.field->stars.size()));
        if (fewest > 0) details.insert(QStringLiteral("fewestStars"), fewest);
        if (const auto absolute = AbsolutePositionOf(form_.FocusControl())) {
            details.insert(QStringLiteral("absolutePosition"), *absolute);
        }
        // What the user reads at the end, beside the search's own lines:
        // the readings and the frames they took (as kessivanectl counts
        // them) and, for a fit, how well the curve held.
        QString summary = QStringLiteral("%1: %2 readings of %3 focus frames")
                              .arg(quick ? QStringLiteral("Quick refocus")
                                   : fit ? QStringLiteral("Curve fit")
                                         : QStringLiteral("Golden section"))
                              .arg(searchReadings_)
                              .arg(result.frames);
        // Positions both, on the count the window shows, as the search's own
        // positions are. After a fallback the full curve fit found it.
        if (quick && result.predicted) details.insert(QStringLiteral("predicted"), *result.predicted);
        if (quick && result.found) details.insert(QStringLiteral("found"), *result.found);
        if (quick && result.fellBack) {
            details.insert(QStringLiteral("fallback"), QString::fromStdString(result.fallbackReason));
            if (result.predicted) summary += QStringLiteral(", predicted %1").arg(*result.predicted);
            summary += QStringLiteral(", fell back to the curve fit");
            if (result.found) summary += QStringLiteral(", which found best focus %1").arg(*result.found);
        } else if (quick && result.found) {
            summary += QStringLiteral(", best focus %1").arg(*result.found);
            if (result.predicted) summary += QStringLiteral(" (predicted %1)").arg(*result.predicted);
        }
        if (result.coarseFrames > 0) summary += QStringLiteral(" after %1 whole-image frames").arg(result.coarseFrames);
        if (result.fit && !result.fit->refinement) {
            const kv::FitSummary& f = *result.fit;
            QVariantList parameters;
            for (double p : f.parameters) parameters << p;
            // A quick refocus that did not fall back moved the learned curve: no fit of its own to rate.
            const bool fitted = !quick || result.fellBack;
            if (fitted) details.insert(QStringLiteral("rSquared"), f.rSquared);
            details.insert(QStringLiteral("model"), QString::fromLatin1(kv::FitModelName(f.model)));
            details.insert(QStringLiteral("parameters"), parameters);
            details.insert(QStringLiteral("bestPosition"), f.bestPosition);
            details.insert(QStringLiteral("predictedFom"), f.predicted);
            if (f.checkPosition) details.insert(QStringLiteral("checkPosition"), *f.checkPosition);
            if (f.checkFom) details.insert(QStringLiteral("checkFom"), *f.checkFom);
            if (fitted) summary += QStringLiteral(", R^2 %1").arg(f.rSquared, 0, 'f', 3);
        }
        // Steps mean little without the zone they span: the zone and, for a
        // completed search, its error in both.
        if (result.cfzSteps) details.insert(QStringLiteral("cfzSteps"), *result.cfzSteps);
        if (result.errorSteps) {
            details.insert(QStringLiteral("errorSteps"), *result.errorSteps);
            if (const auto zones = kv::ErrorInCfz(*result.errorSteps, result.cfzSteps))
                details.insert(QStringLiteral("errorCfz"), *zones);
        }
        if (const std::string zone = kv::FocusZoneResultText(result.cfzSteps, result.errorSteps); !zone.empty())
            summary += QStringLiteral(", ") + QString::fromStdString(zone);
        if (!completed) summary += QStringLiteral(" - ") + why.simplified();
        kv::WriteProgramLog(summary.toStdString());
        if (fit) form_.SetStatusPanel(0, summary);
        form_.AutoFocusPage()->LastResultLabel()->setText(summary);
        emit searchDetails(details);
        emit procedureEnded(QStringLiteral("autofocus"), completed, result.position,
                            result.reading ? result.reading->FOM : 0.0, completed ? QString() : why);
        ShowLogWarning();
    });
}
