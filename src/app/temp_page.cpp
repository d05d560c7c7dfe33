#include "app/temp_page.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "app/list_view_ex.h"
#include "app/page_context.h"
#include "app/read_out_panel.h"
#include "app/settings_binder.h"
#include "app/tc_window.h"
#include "camera/camera_control.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"
#include "shell/window_rules.h"
#include "widgets/lum_sb.h"
#include "widgets/meter.h"

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

TTempAnswer AskAvail(kv::TFocusControl& focuser) {
    TTempAnswer answer;
    answer.avail = focuser.GetTCAvail();
    return answer;
}

// The register as it is now, and whether the unit answered while it was read:
// a register read from an absent unit is only the value last stored.
TTempAnswer AskOffset(kv::TFocusControl& focuser) {
    TTempAnswer answer;
    answer.offset = focuser.GetTCCal();
    answer.avail = focuser.TCAvail();
    return answer;
}

// The focuser the window holds at the moment of each call: a parameter update
// may replace it while compensation is set up.
class FormFocuser final : public kv::ICompensationFocuser {
public:
    explicit FormFocuser(TPageContext& form) : form_(form) {}
    bool Idle() override { return F() == nullptr || F()->GetIdle(); }
    double TCAvg() override { return F() != nullptr ? F()->TCAvg() : 0.0; }
    void MoveBy(std::int32_t steps) override {
        if (F() != nullptr) F()->MoveBy(steps);
    }
    int StopFactor() override { return F() != nullptr ? F()->StopFactor() : 0; }
    void SetStopFactor(int value) override {
        if (F() != nullptr) F()->SetStopFactor(value);
    }
    bool InterruptsOff() override { return F() != nullptr && F()->InterruptsOff(); }

private:
    kv::TFocusControl* F() const { return form_.FocusControl(); }
    TPageContext& form_;
};

QPushButton* Button(const char* name, const char* caption, QWidget* parent) {
    auto* b = new QPushButton(QString::fromUtf8(caption), parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

QLabel* Label(const char* name, const QString& caption, QWidget* parent) {
    auto* l = new QLabel(caption, parent);
    if (name != nullptr) l->setObjectName(QString::fromLatin1(name));
    return l;
}

// A sunken read-out panel.
QLabel* Panel(const char* name, QWidget* parent, const QString& text = {}) {
    QLabel* l = Label(name, text, parent);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setAlignment(Qt::AlignCenter);
    l->setMinimumHeight(20);
    return l;
}

// Double clicks on the average panels, and clicks on their captions.
class ClickWatcher final : public QObject {
public:
    ClickWatcher(QObject* parent, std::function<void()> action) : QObject(parent), action_(std::move(action)) {}
    void WatchDoubleClick(QWidget* w) {
        w->installEventFilter(this);
        doubles_.push_back(w);
    }
    void WatchClick(QWidget* w) { w->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool dbl = std::find(doubles_.begin(), doubles_.end(), watched) != doubles_.end();
        if ((dbl && event->type() == QEvent::MouseButtonDblClick) ||
            (!dbl && event->type() == QEvent::MouseButtonRelease)) {
            action_();
        }
        return false;
    }

private:
    std::function<void()> action_;
    std::vector<QObject*> doubles_;
};

}  // namespace

TTempPage::TTempPage(TPageContext& form, QWidget* parent)
    : QWidget(parent), form_(form), locale_(kv::TCLocale::FromProcess()), calibration_(locale_) {
    setObjectName(QStringLiteral("TempControl"));
    reader_ = new TTempReader(this);
    focuser_ = std::make_unique<FormFocuser>(form_);
    kv::CompensationHooks hooks;
    hooks.announce = [](std::int32_t steps) { TPageContext::SendKantrel(kv::kKantrelCompensationMove, steps); };
    hooks.startIdleCheckTimer = [this](int ms) {
        if (QTimer* t = form_.IdleCheckTimer()) t->start(ms);
    };
    hooks.slowStopSystem = [this] {
        kv::TCameraControl* camera = form_.CameraControl();
        if (!form_.IsWin9x() || camera == nullptr || !camera->IsSBIG()) return false;
        return !camera->Initialized() || camera->CameraData().InterfaceType != 2;
    };
    compensator_ = std::make_unique<kv::TTempCompensator>(*focuser_, form_.Dialogs(), kv::DefaultClock(), locale_,
                                                          std::move(hooks));

    // The read-out panel of the main window covers the top left corner.
    // The readings take the height their warning and two-line rate caption
    // need; the control group below has room to spare.
    QWidget* readOut = BuildReadOut();
    readOut->setGeometry(190, 2, 215, 262);
    QWidget* control = BuildControl();
    control->setGeometry(190, 268, 215, 246);
    QWidget* activity = BuildActivity();
    activity->setGeometry(4, 218, 182, 296);
    QWidget* calibration = BuildCalibration();
    calibration->setGeometry(409, 2, 371, 512);

    auto timer = [this](const char* name, int ms) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(ms);
        return t;
    };
    getTempTimer_ = timer("GetTempTimer", tempReadingRateSE_->value() * 1000);
    tcDetectTimer_ = timer("TCDetectTimer", 1000);
    secondTimer_ = timer("SecondTimer", kv::kSecondTimerMs);
    connect(getTempTimer_, &QTimer::timeout, this, &TTempPage::GetTempTimerTimer);
    connect(tcDetectTimer_, &QTimer::timeout, this, &TTempPage::TCDetectTimerTimer);
    connect(secondTimer_, &QTimer::timeout, this, &TTempPage::SecondTimerTimer);

    if (TTCWindow* window = form_.TCWindow()) {
        connect(window, &TTCWindow::compensateClicked, this, &TTempPage::ManualTCButtonClick);
    }
    UpdateEnables();
}

TTempPage::~TTempPage() = default;

// ---------------------------------------------------------------- building

QWidget* TTempPage::BuildReadOut() {
    auto* box = new QGroupBox(QStringLiteral("Temperature"), this);
    box->setObjectName(QStringLiteral("TempReadOutGB"));
    auto* v = new QVBoxLayout(box);
    v->setSpacing(2);
    auto centred = [box](const char* text) {
        QLabel* l = Label(nullptr, QString::fromUtf8(text), box);
        l->setAlignment(Qt::AlignCenter);
        return l;
    };
    QLabel* instantaneous = centred("Instantaneous");
    tempLabel_ = Panel("TempLabel", box, Q(kv::kNoTemperatureText));
    QLabel* average = centred("--------------- Average --------------");
    avgTempLabel_ = Panel("AvgTempLabel", box, Q(kv::kNoTemperatureText));
    avgTempLabelF_ = Panel("AvgTempLabel_F", box, Q(kv::kNoTemperatureText));
    QFont big = avgTempLabel_->font();
    big.setBold(true);
    big.setPointSize(big.pointSize() + 2);
    for (QLabel* l : {tempLabel_, avgTempLabel_, avgTempLabelF_}) l->setFont(big);
    QLabel* timeCaption = centred("Current Time");
    currentTimeLabel_ = Panel("CurrentTimeLabel", box);
    for (QWidget* w : std::initializer_list<QWidget*>{instantaneous, tempLabel_, average, avgTempLabel_,
                                                      avgTempLabelF_, timeCaption, currentTimeLabel_}) {
        v->addWidget(w);
    }
    auto* watcher = new ClickWatcher(this, [this] {
        if (kv::TFocusControl* f = form_.FocusControl()) f->ClearTempHistory();
    });
    for (QLabel* l : {avgTempLabel_, avgTempLabelF_, currentTimeLabel_}) watcher->WatchDoubleClick(l);
    for (QLabel* l : {average, timeCaption}) watcher->WatchClick(l);

    tcWarningLabel_ = Label("TCWarningLabel", Q(kv::kTempUnavailableText), box);
    tcWarningLabel_->setWordWrap(true);
    tcWarningLabel_->setAlignment(Qt::AlignCenter);
    tcWarningLabel_->setStyleSheet(QStringLiteral("color: red; font-weight: bold; font-style: italic;"));
    tcWarningLabel_->hide();
    v->addWidget(tcWarningLabel_);

    auto* offset = new QHBoxLayout;
    offset->setSpacing(2);
    QLabel* offsetCaption = Label("Label62", QStringLiteral("Temp. Offset = "), box);
    calValueLabel_ = Label("CalValueLabel", Q(kv::kNoOffsetText), box);
    QFont mono = calValueLabel_->font();
    mono.setFamily(QStringLiteral("monospace"));
    mono.setStyleHint(QFont::Monospace);
    calValueLabel_->setFont(mono);
    dcLabel_ = Label("DCLabel", Q(kv::kDegreeCaption), box);
    setCalUp_ = Button("SetCalUpButton", "+", box);
    setCalDown_ = Button("SetCalDownButton", "-", box);
    setCalUp_->setToolTip(QStringLiteral("Raise the sensor's offset in the focuser by 1 \u00B0C (%1 to %2)")
                              .arg(kv::kCalRegisterMin - kv::kCalRegisterZero)
                              .arg(kv::kCalRegisterMax - kv::kCalRegisterZero));
    setCalDown_->setToolTip(setCalUp_->toolTip().replace(QStringLiteral("Raise"), QStringLiteral("Lower")));
    for (QPushButton* b : {setCalUp_, setCalDown_}) b->setFixedSize(22, 22);
    offset->addWidget(offsetCaption);
    offset->addWidget(calValueLabel_);
    offset->addWidget(dcLabel_);
    offset->addStretch();
    offset->addWidget(setCalUp_);
    offset->addWidget(setCalDown_);
    v->addLayout(offset);
    connect(setCalUp_, &QPushButton::clicked, this, [this] { SetCalUpButtonClick(true); });
    connect(setCalDown_, &QPushButton::clicked, this, [this] { SetCalUpButtonClick(false); });

    auto* rate = new QFormLayout;
    tempReadingRateSE_ = new QSpinBox(box);
    tempReadingRateSE_->setObjectName(QStringLiteral("TempReadingRateSE"));
    tempReadingRateSE_->setRange(1, 30);
    tempReadingRateSE_->setValue(3);
    settings_ui::SetToolTip(tempReadingRateSE_, QStringLiteral("Seconds between temperature readings"));
    QLabel* rateCaption = Label(nullptr, QStringLiteral("Temperature Update (sec.)"), box);
    rateCaption->setWordWrap(true);
    rate->addRow(rateCaption, tempReadingRateSE_);
    v->addLayout(rate);
    v->addStretch();
    connect(tempReadingRateSE_, &QSpinBox::valueChanged, this,
            [this](int seconds) { getTempTimer_->setInterval(static_cast<int>(std::lround(seconds * 1000.0))); });
    return box;
}

QWidget* TTempPage::BuildControl() {
    auto* box = new QGroupBox(QStringLiteral("Control"), this);
    box->setObjectName(QStringLiteral("ControlGB"));
    auto* v = new QVBoxLayout(box);
    v->setSpacing(3);

    // Hidden until the first temperature reading; the page guard asks the switch.
    autoTCLabel_ = Label("AutoTCLabel", QStringLiteral("Automatic\r\nCompensation"), box);
    autoTCLabel_->setAlignment(Qt::AlignCenter);
    autoSwitch_ = new QCheckBox(QStringLiteral("Auto Compensate"), box);
    autoSwitch_->setObjectName(QStringLiteral("AutoSwitch"));
    autoSwitch_->setToolTip(QStringLiteral("Correct the focus as the temperature changes"));
    v->addWidget(autoTCLabel_);
    v->addWidget(autoSwitch_, 0, Qt::AlignHCenter);
    manualTCButton_ = Button("ManualTCButton", "Compensate Now", box);
    v->addWidget(manualTCButton_);
    for (QWidget* w : std::initializer_list<QWidget*>{autoSwitch_, autoTCLabel_, manualTCButton_}) w->hide();
    connect(autoSwitch_, &QCheckBox::clicked, this, &TTempPage::AutoSwitchClick);
    connect(manualTCButton_, &QPushButton::clicked, this, &TTempPage::ManualTCButtonClick);

    auto* f = new QFormLayout;
    f->setVerticalSpacing(3);
    minStepsSE_ = new QSpinBox(box);
    minStepsSE_->setObjectName(QStringLiteral("MinStepsSE"));
    minStepsSE_->setRange(1, 100);
    minStepsSE_->setValue(1);
    settings_ui::SetToolTip(minStepsSE_, QStringLiteral("Smallest focus correction made, in steps"));
    f->addRow(QStringLiteral("Mininum\r\nCorrection (steps)"), minStepsSE_);

    ignoreStepsCB_ = new QCheckBox(QStringLiteral("Ignore Move >"), box);
    ignoreStepsCB_->setObjectName(QStringLiteral("IgnoreStepsCB"));
    ignoreStepsCB_->setToolTip(QStringLiteral("Skip corrections larger than the steps beside"));
    ignoreStepsSE_ = new QSpinBox(box);
    ignoreStepsSE_->setObjectName(QStringLiteral("IgnoreStepsSE"));
    ignoreStepsSE_->setRange(1, 1000);
    ignoreStepsSE_->setValue(250);
    settings_ui::SetToolTip(ignoreStepsSE_, QStringLiteral("Corrections larger than this are skipped, in steps"));
    ignoreStepsSE_->setEnabled(false);
    connect(ignoreStepsCB_, &QCheckBox::toggled, ignoreStepsSE_, &QWidget::setEnabled);
    f->addRow(ignoreStepsCB_, ignoreStepsSE_);

    autoTCRateSE_ = new QDoubleSpinBox(box);
    autoTCRateSE_->setObjectName(QStringLiteral("AutoTCRateSE"));
    autoTCRateSE_->setRange(0.5, 30);
    autoTCRateSE_->setSingleStep(0.5);
    autoTCRateSE_->setDecimals(1);
    autoTCRateSE_->setValue(0.5);
    settings_ui::SetToolTip(autoTCRateSE_, QStringLiteral("Minutes between automatic corrections"));
    f->addRow(QStringLiteral("Auto Temp Comp. \r\nRate (minutes)"), autoTCRateSE_);
    v->addLayout(f);

    storeAfterAF_ = new QCheckBox(QStringLiteral("Store point after Auto Focus"), box);
    storeAfterAF_->setObjectName(QStringLiteral("StoreAfterAFCB"));
    storeAfterAF_->setToolTip(QStringLiteral("Each auto focus adds its position and temperature as a data point"));
    v->addWidget(storeAfterAF_);
    connect(storeAfterAF_, &QCheckBox::clicked, this, [this](bool on) {
        const kv::WriteResult written = kv::SaveStoreAfterAutoFocus(form_.IniPath(), on);
        if (!written.ok) {
            kv::WriteProgramLog(written.message);
            form_.Dialogs().Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
        }
    });

    v->addStretch();
    openTCWindow_ = Button("OpenTCWindow", "Open Window", box);
    v->addWidget(openTCWindow_);
    connect(openTCWindow_, &QPushButton::clicked, this, [this] {
        if (TTCWindow* window = form_.TCWindow()) {
            window->show();
            window->raise();
        }
    });
    return box;
}

QWidget* TTempPage::BuildActivity() {
    auto* box = new QGroupBox(QStringLiteral("Compensation Activity"), this);
    box->setObjectName(QStringLiteral("ActivityGB"));
    auto* v = new QVBoxLayout(box);
    v->setSpacing(2);
    auto rows = [box](QFormLayout* f, std::initializer_list<std::pair<const char*, QLabel**>> list) {
        f->setVerticalSpacing(2);
        f->setHorizontalSpacing(4);
        for (const auto& [caption, panel] : list) {
            *panel = Panel(nullptr, box);
            f->addRow(QString::fromLatin1(caption), *panel);
        }
    };
    auto* start = new QFormLayout;
    rows(start, {{"Start Temp:", &startTempPanel_}, {"Start Time:", &startTimePanel_}});
    v->addLayout(start);
    auto* next = new QGroupBox(QStringLiteral("Next Update"), box);
    auto* nf = new QFormLayout(next);
    nf->setContentsMargins(4, 2, 4, 2);
    rows(nf, {{"Scheduled at:", &schedPanel_}, {"Time until:", &timeUntilPanel_}});
    v->addWidget(next);
    auto* last = new QGroupBox(QStringLiteral("Last Update"), box);
    auto* lf = new QFormLayout(last);
    lf->setContentsMargins(4, 2, 4, 2);
    rows(lf, {{"Occurred at:", &occurredAtPanel_},
              {"Temperature:", &tempPanel_},
              {"Steps Moved:", &stepsMovedPanel_},
              {"Method:", &methodPanel_}});
    v->addWidget(last);
    const std::pair<QLabel*, const char*> names[] = {
        {startTempPanel_, "StartTempPanel"}, {startTimePanel_, "StartTimePanel"}, {schedPanel_, "SchedPanel"},
        {timeUntilPanel_, "TimeUntilPanel"}, {occurredAtPanel_, "OccurredAtPanel"}, {tempPanel_, "TempPanel"},
        {stepsMovedPanel_, "StepsMovedPanel"}, {methodPanel_, "MethodPanel"}};
    for (const auto& [panel, name] : names) panel->setObjectName(QString::fromLatin1(name));
    tcResetButton_ = Button("TCResetButton", "Clear", box);
    v->addWidget(tcResetButton_, 0, Qt::AlignHCenter);
    connect(tcResetButton_, &QPushButton::clicked, this, &TTempPage::TCResetButtonClick);
    return box;
}

QWidget* TTempPage::BuildCalibration() {
    auto* box = new QGroupBox(QStringLiteral("Calibration"), this);
    box->setObjectName(QStringLiteral("CalibrationGB"));
    auto* h = new QHBoxLayout(box);
    h->setContentsMargins(4, 4, 4, 4);
    h->setSpacing(4);
    listView_ = new TListViewEx(calibration_, box);
    listView_->setObjectName(QStringLiteral("ListView1"));
    h->addWidget(listView_, 1);

    auto* sideBox = new QWidget(box);
    sideBox->setFixedWidth(108);
    auto* side = new QVBoxLayout(sideBox);
    side->setContentsMargins(0, 0, 0, 0);
    side->setSpacing(3);
    h->addWidget(sideBox);
    trainSB_ = new kv::TlumSB(box);
    trainSB_->setObjectName(QStringLiteral("TrainSB"));
    trainSB_->setText(QStringLiteral("Train"));
    trainSB_->setCheckable(true);
    trainSB_->setToolTip(QStringLiteral("While down, a new list of focus positions against temperature is built "
                                        "with Store Data Point"));
    trainSB_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    storePointButton_ = Button("StorePointButton", "Store Data Point", box);
    deletePointButton_ = Button("DeletePointButton", "Delete Data Point", box);
    clearAllButton_ = Button("ClearAllButton", "Clear All", box);
    calcCoeffButton_ = Button("CalcCoeffButton", "Get Coefficients", box);
    for (QWidget* w : std::initializer_list<QWidget*>{trainSB_, storePointButton_, deletePointButton_,
                                                      clearAllButton_}) {
        side->addWidget(w);
    }
    side->addSpacing(8);
    side->addWidget(calcCoeffButton_);
    stepsLabel_ = Label("StepsLabel", Q(kv::kStepsPerDegreeCaption), box);
    slopeEdit_ = new QLineEdit(box);
    slopeEdit_->setObjectName(QStringLiteral("SlopeEdit"));
    slopeEdit_->setToolTip(QStringLiteral("Focus shift per degree Celsius, in steps: what compensation moves"));
    auto* slopeRow = new QHBoxLayout;
    slopeRow->addWidget(slopeEdit_);
    slopeRow->addWidget(stepsLabel_);
    side->addLayout(slopeRow);

    auto* fit = new QGridLayout;
    r2Meter_ = new kv::TMeter(box);
    r2Meter_->setObjectName(QStringLiteral("R2Meter"));
    r2Meter_->SetNumberOfLEDs(kv::kFitMeterLeds);
    r2Meter_->SetSpaceBetween(0);
    r2Meter_->SetInteriorOffset(0);
    r2Meter_->SetBorderWidth(0);
    r2Meter_->SetLoBarNumber(16);
    r2Meter_->SetLoBarColor(Qt::red);
    r2Meter_->SetHiBarNumber(8);
    r2Meter_->SetHiBarColor(Qt::yellow);
    r2Meter_->SetClipBarColor(Qt::green);
    r2Meter_->SetBackColor(QColor(64, 64, 64));
    r2Meter_->SetMeterValue(0);
    // The sunken bevel takes two pixels on each side; the rest is whole LEDs.
    r2Meter_->setFixedSize(kv::TMeter::DefaultWidth, 4 + 5 * kv::kFitMeterLeds);
    r2Label_ = Label("R2Label", QStringLiteral("0.00"), box);
    fit->addWidget(Label(nullptr, QStringLiteral("Fit"), box), 0, 0, Qt::AlignRight | Qt::AlignTop);
    fit->addWidget(r2Meter_, 0, 1, 2, 1);
    fit->addWidget(r2Label_, 1, 0, Qt::AlignRight | Qt::AlignBottom);
    fit->setColumnStretch(0, 1);
    fit->setColumnStretch(2, 1);
    side->addLayout(fit);
    side->addStretch();

    auto* files = new QGroupBox(QStringLiteral("Files"), box);
    files->setObjectName(QStringLiteral("FilesGB"));
    auto* fv = new QVBoxLayout(files);
    fv->setSpacing(3);
    fv->setContentsMargins(4, 2, 4, 4);
    loadTCButton_ = Button("LoadTCButton", "Load", files);
    mergeTCButton_ = Button("MergeTCButton", "Merge", files);
    saveTCButton_ = Button("SaveTCButton", "Save", files);
    for (QPushButton* b : {loadTCButton_, mergeTCButton_, saveTCButton_}) fv->addWidget(b);
    side->addWidget(files);
    // Past auto focuses from the focus log, to look at and to learn from.
    historyButton_ = Button("FocusHistoryButton", "Focus history", box);
    historyButton_->setToolTip(QStringLiteral("The focus log's runs, their drift with temperature, and adding them here"));
    side->addWidget(historyButton_);
    connect(historyButton_, &QPushButton::clicked, this, [this] { form_.ShowFocusHistory(); });

    connect(trainSB_, &QToolButton::clicked, this, &TTempPage::TrainSBClick);
    connect(storePointButton_, &QPushButton::clicked, this, &TTempPage::StorePointButtonClick);
    connect(deletePointButton_, &QPushButton::clicked, this, &TTempPage::DeletePointButtonClick);
    connect(clearAllButton_, &QPushButton::clicked, this, &TTempPage::ClearAllButtonClick);
    connect(calcCoeffButton_, &QPushButton::clicked, this, &TTempPage::CalcCoeffButtonClick);
    connect(loadTCButton_, &QPushButton::clicked, this, [this] { LoadTCButtonClick(false); });
    connect(mergeTCButton_, &QPushButton::clicked, this, [this] { LoadTCButtonClick(true); });
    connect(saveTCButton_, &QPushButton::clicked, this, &TTempPage::SaveTCButtonClick);
    return box;
}

// ---------------------------------------------------------------- timers and page

void TTempPage::StopTimers() {
    for (QTimer* t : {getTempTimer_, tcDetectTimer_, secondTimer_}) t->stop();
}

bool TTempPage::AutoCompensating() const { return autoSwitch_->isChecked(); }

void TTempPage::StopCompensation() {
    if (!AutoCompensating()) return;
    {
        const QSignalBlocker block(autoSwitch_);
        autoSwitch_->setChecked(false);
    }
    AutoSwitchClick(false);
}

void TTempPage::TempControlShow() {
    kv::TFocusControl* focuser = form_.FocusControl();
    auto* enable = form_.Window().findChild<QCheckBox*>(QStringLiteral("TCEnableCB"));
    const bool on = enable != nullptr && enable->isChecked();
    getTempTimer_->setInterval(static_cast<int>(std::lround(tempReadingRateSE_->value() * 1000.0)));
    for (QTimer* t : {getTempTimer_, secondTimer_}) {
        if (on) t->start();
        else t->stop();
    }
    GetTempTimerTimer();
    stepsLabel_->setText(Q(kv::kStepsPerDegreeCaption));
    dcLabel_->setText(Q(kv::kDegreeCaption));

    if (focuser == nullptr) {
        ShowCheckAnswered(false, false);
    } else {
        reader_->Request(TTempReader::Kind::ShowCheck, AskAvail,
                         [this](const TTempAnswer& a) { ShowCheckAnswered(a.avail, false); });
    }
    UpdateEnables();
    AttachAvailChange();
    ShowSamplesControls(false);
}

bool TTempPage::OnPage() const { return form_.PageControl()->currentWidget() == this; }

void TTempPage::ShowCheckAnswered(bool avail, bool recheck) {
    // The page was left before the unit answered.
    if (!OnPage()) return;
    if (!recheck) {
        tcAvail_ = avail;
        if (!avail) {
            form_.Dialogs().Beep();
            // One more chance, a moment later: a unit that was busy answers then.
            QTimer::singleShot(kMissingRecheckMs, this, [this] {
                if (!OnPage()) return;
                const bool asked = reader_->Request(TTempReader::Kind::ShowCheck, AskAvail,
                                                    [this](const TTempAnswer& a) { ShowCheckAnswered(a.avail, true); });
                if (!asked) ShowCheckAnswered(false, true);
            });
            UpdateEnables();
            return;
        }
    } else {
        tcWarningLabel_->setVisible(!avail);
        if (!avail) tcDetectTimer_->start();
        ShowNoTemperature();
    }
    UpdateEnables();
    if (tcWarningLabel_->isHidden()) {
        getTempTimer_->start();
        ShowOffset();
    }
}

void TTempPage::FocuserGoing() { reader_->Detach(); }

void TTempPage::FocuserChanged() {
    reader_->Attach(form_.FocusControl());
    AttachAvailChange();
}

void TTempPage::AttachAvailChange() {
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr) return;
    // Raised on whichever thread asked the hub; handled here, in order.
    QPointer<TTempPage> self(this);
    focuser->SetOnAvailChange([self](kv::TFocusControl&, bool avail) {
        QMetaObject::invokeMethod(
            qApp, [self, avail] { if (self) self->TCAvailChange(avail); }, Qt::QueuedConnection);
    });
}

bool TTempPage::ReadOutRunning() const {
    const TTCWindow* window = form_.TCWindow();
    return isVisible() || compensator_->AutoOn() || (window != nullptr && window->isVisible());
}

void TTempPage::TempControlHide() {
    const TTCWindow* window = form_.TCWindow();
    if (!compensator_->AutoOn() && !(window != nullptr && window->isVisible())) StopTimers();
    ShowSamplesControls(true);
    calValueLabel_->setText(Q(kv::kNoOffsetText));
    // The last answer at once, then the unit's own once it has been asked.
    auto title = [this](bool avail) {
        const bool on = compensator_->AutoOn();
        form_.Window().setWindowTitle(Q(kv::AppTitle(on, on && avail, avgTempLabel_->text().toStdString())));
    };
    const kv::TFocusControl* focuser = form_.FocusControl();
    title(focuser != nullptr && focuser->TCAvail());
    if (compensator_->AutoOn()) {
        reader_->Request(TTempReader::Kind::Title, AskAvail, [this, title](const TTempAnswer& a) {
            if (!OnPage()) title(a.avail);
        });
    }
}

void TTempPage::ShowSamplesControls(bool show) {
    TReadOutPanel* panel = form_.ReadOutPanel();
    if (panel == nullptr || show != readOutShrunk_) return;
    for (QLabel* l : panel->findChildren<QLabel*>()) {
        if (l->text() == QLatin1String("Number of Samples") || l->text() == QLatin1String("per Focus Measurement")) {
            l->setVisible(show);
        }
    }
    for (const char* name : {"FocusSamples", "ProgressBar2"}) {
        if (auto* w = panel->findChild<QWidget*>(QString::fromLatin1(name))) w->setVisible(show);
    }
    panel->resize(panel->width(), panel->height() + (show ? kReadOutShrink : -kReadOutShrink));
    readOutShrunk_ = !show;
}

void TTempPage::ShowNoTemperature() {
    const QString none = Q(kv::kNoTemperatureText);
    for (QLabel* l : {tempLabel_, avgTempLabel_, avgTempLabelF_}) l->setText(none);
    if (TTCWindow* window = form_.TCWindow()) window->SetAverage(none, none);
}

void TTempPage::ShowOffset() {
    reader_->Request(TTempReader::Kind::Offset, AskOffset, [this](const TTempAnswer& a) {
        // Left meanwhile, or the unit went away: the offset stays unknown.
        if (!ReadOutRunning() || !a.avail) return;
        calValueLabel_->setText(Q(kv::FormatOffset(a.offset - kv::kCalRegisterZero)));
    });
}

void TTempPage::GetTempTimerTimer() {
    if (!getTempTimer_->isActive()) return;
    if (form_.FocusControl() == nullptr) {
        ShowNoTemperature();
        return;
    }
    reader_->Request(
        TTempReader::Kind::Reading,
        [](kv::TFocusControl& focuser) {
            TTempAnswer answer;
            answer.temperature = focuser.GetTemperature();
            answer.average = focuser.TCAvg();
            return answer;
        },
        [this](const TTempAnswer& a) { ShowReading(a); });
}

void TTempPage::ShowReading(const TTempAnswer& answer) {
    if (!ReadOutRunning()) return;
    if (answer.temperature <= kv::kTemperatureFloor) {
        ShowNoTemperature();
    } else {
        const kv::TemperatureTexts texts = kv::ReadingTexts(answer.temperature, answer.average, locale_);
        tempLabel_->setText(Q(texts.temp));
        avgTempLabel_->setText(Q(texts.avg));
        form_.Window().setWindowTitle(Q(kv::AppTitle(compensator_->AutoOn(), true, texts.avg)));
        avgTempLabelF_->setText(Q(texts.avgF));
        if (TTCWindow* window = form_.TCWindow()) window->SetAverage(Q(texts.avg), Q(texts.avgF));
    }
    for (QWidget* w : std::initializer_list<QWidget*>{manualTCButton_, autoSwitch_, autoTCLabel_}) w->show();
}

void TTempPage::TCDetectTimerTimer() {
    if (form_.FocusControl() == nullptr) {
        tcWarningLabel_->show();
        return;
    }
    reader_->Request(TTempReader::Kind::Detect, AskAvail, [this](const TTempAnswer& a) {
        // Found meanwhile through an availability report, or no longer looked for.
        if (!tcDetectTimer_->isActive()) return;
        if (a.avail) {
            tcWarningLabel_->hide();
            tcDetectTimer_->stop();
            ShowOffset();
        } else {
            tcWarningLabel_->show();
        }
    });
}

void TTempPage::TCAvailChange(bool avail) {
    tcAvail_ = avail;
    // Others ask the hub too (the About box, the parameter update); the
    // read-out reacts only while it runs.
    if (!ReadOutRunning()) return;
    if (!avail) {
        form_.Dialogs().Beep();
        tcWarningLabel_->show();
        kv::WriteProgramLog(kv::kTempUnavailableText);
        tcDetectTimer_->start();
        calValueLabel_->setText(Q(kv::kNoOffsetText));
        getTempTimer_->stop();
        compensator_->HardwareLost();
        ShowCompensation();
        form_.Window().setWindowTitle(Q(kv::kAppTitle));
    } else {
        tcWarningLabel_->hide();
        tcDetectTimer_->stop();
        ShowOffset();
        getTempTimer_->start();
        UpdateEnables();
    }
}

void TTempPage::SetCalUpButtonClick(bool up) {
    setCalUp_->setEnabled(false);
    setCalDown_->setEnabled(false);
    auto enable = [this] {
        setCalUp_->setEnabled(true);
        setCalDown_->setEnabled(true);
    };
    const std::string shown = calValueLabel_->text().toStdString();
    const auto value = shown != kv::kNoOffsetText ? kv::OffsetButtonRegister(shown, up) : std::nullopt;
    if (!value || form_.FocusControl() == nullptr) {
        enable();
        return;
    }
    // No reading in between: the register is written and read back in one go.
    getTempTimer_->stop();
    const bool asked = reader_->Request(
        TTempReader::Kind::SetOffset,
        [register_ = *value](kv::TFocusControl& focuser) {
            const kv::HubResult written = focuser.SetTCCal(register_);
            TTempAnswer answer = AskOffset(focuser);
            answer.written = written;
            return answer;
        },
        [this, enable](const TTempAnswer& a) {
            if (a.written == kv::HubResult::Failed) {
                form_.Dialogs().Show(kv::kSetCalFailedText, kv::DialogType::Error, kv::DialogButtons::Ok);
            }
            if (ReadOutRunning()) {
                if (a.avail) calValueLabel_->setText(Q(kv::FormatOffset(a.offset - kv::kCalRegisterZero)));
                if (!tcDetectTimer_->isActive()) getTempTimer_->start();
            }
            enable();
        });
    if (!asked) {
        getTempTimer_->start();
        enable();
    }
}

// ---------------------------------------------------------------- compensation

void TTempPage::SyncCompensator() {
    kv::CompensationSettings s;
    s.minSteps = minStepsSE_->value();
    s.ignoreEnabled = ignoreStepsCB_->isChecked();
    s.ignoreSteps = ignoreStepsSE_->value();
    s.rateMinutes = autoTCRateSE_->value();
    compensator_->SetSettings(s);
    compensator_->SetSlopeText(slopeEdit_->text().toStdString());
    compensator_->SetAvgTempText(avgTempLabel_->text().toStdString());
}

void TTempPage::ShowCompensation() {
    const kv::CompensationPanels& p = compensator_->Panels();
    const std::pair<QLabel*, const std::string*> panels[] = {
        {startTempPanel_, &p.startTemp}, {startTimePanel_, &p.startTime}, {schedPanel_, &p.sched},
        {timeUntilPanel_, &p.timeUntil}, {occurredAtPanel_, &p.occurredAt}, {tempPanel_, &p.temp},
        {stepsMovedPanel_, &p.stepsMoved}, {methodPanel_, &p.method}};
    for (const auto& [label, text] : panels) label->setText(Q(*text));
    if (TTCWindow* window = form_.TCWindow()) {
        window->SetLast(Q(p.lastTemp));
        window->SetAutoOn(compensator_->AutoOn());
    }
    {
        const QSignalBlocker block(autoSwitch_);
        autoSwitch_->setChecked(compensator_->AutoOn());
    }
    UpdateEnables();
}

void TTempPage::UpdateEnables() {
    const bool on = compensator_->AutoOn();
    const bool training = trainSB_->isChecked();
    trainSB_->setEnabled(!on);
    tcResetButton_->setEnabled(!on);
    clearAllButton_->setEnabled(!on);
    for (QPushButton* b : {loadTCButton_, mergeTCButton_, saveTCButton_}) b->setEnabled(!on && !training);
    storePointButton_->setEnabled(training);
    deletePointButton_->setEnabled(training);
    for (QWidget* w : std::initializer_list<QWidget*>{autoSwitch_, autoTCLabel_, manualTCButton_}) {
        w->setEnabled(tcAvail_ && !training);
    }
    for (const char* name : {"ResetButton", "StopMain"}) {
        if (auto* w = form_.Window().findChild<QWidget*>(QString::fromLatin1(name))) w->setEnabled(!on);
    }
}

void TTempPage::AutoSwitchClick(bool on) {
    SyncCompensator();
    if (on) compensator_->SwitchOn();
    else compensator_->SwitchOff();
    ShowCompensation();
}

void TTempPage::ManualTCButtonClick() {
    SyncCompensator();
    compensator_->CompensateNow();
    ShowCompensation();
}

void TTempPage::IdleCheckTimerTimer() {
    SyncCompensator();
    compensator_->IdleCheckTimerTimer();
    ShowCompensation();
}

void TTempPage::SecondTimerTimer() {
    SyncCompensator();
    compensator_->SecondTimerTimer();
    const QString now = Q(compensator_->CurrentTimeText());
    currentTimeLabel_->setText(now);
    if (TTCWindow* window = form_.TCWindow()) window->SetTime(now);
    ShowCompensation();
}

void TTempPage::TCResetButtonClick() {
    compensator_->ClearActivity();
    ShowCompensation();
    if (QWidget* focused = focusWidget()) focused->clearFocus();
}

// ---------------------------------------------------------------- calibration

bool TTempPage::Ask(const char* question, kv::DialogType type, kv::DialogButtons buttons) {
    return form_.Dialogs().Show(question, type, buttons) == kv::DialogResult::Yes;
}

void TTempPage::Tell(const kv::TCStatus& status) {
    if (!status.ok()) form_.Dialogs().Show(status.message, status.type, kv::DialogButtons::Ok);
}

void TTempPage::ClearFit() {
    slopeEdit_->clear();
    r2Label_->clear();
    r2Meter_->SetMeterValue(0);
}

void TTempPage::TrainSBClick(bool down) {
    if (down && calibration_.Count() > 0 && !Ask(kv::kTrainingQuestion, kv::DialogType::Warning)) {
        const QSignalBlocker block(trainSB_);
        trainSB_->setChecked(false);
        UpdateEnables();
        return;
    }
    if (down) {
        calibration_.BeginTraining();
    } else {
        Tell(calibration_.EndTraining());
    }
    listView_->Refresh();
    UpdateEnables();
}

void TTempPage::StorePointButtonClick() {
    TReadOutPanel* readOut = form_.ReadOutPanel();
    const std::string position = readOut != nullptr ? readOut->PositionText().toStdString() : std::string("0");
    const kv::TCStatus status =
        calibration_.StorePoint(position, avgTempLabel_->text().toStdString(), std::chrono::system_clock::now());
    listView_->Refresh();
    listView_->ScrollToLast();
    Tell(status);
}

void TTempPage::AddRunPoints(const std::vector<kv::FocusLogEntry>& runs) {
    kv::TCStatus status;
    int added = 0, already = 0;
    for (const kv::FocusLogEntry& run : runs) {
        const auto when = kv::ParseFocusLogTime(run.time);
        if (!run.temperatureC) continue;
        const auto at = when.value_or(std::chrono::system_clock::now());
        // Pressing Add twice, or adding a night again, must not weigh its runs twice in the fit.
        if (calibration_.HasRunPoint(kv::BestFocusPosition(run), *run.temperatureC, at)) {
            ++already;
            continue;
        }
        status = calibration_.StoreRunPoint(kv::BestFocusPosition(run), *run.temperatureC, at);
        if (!status.ok()) break;
        ++added;
    }
    if (added > 0) ClearFit();
    listView_->Refresh();
    listView_->ScrollToLast();
    kv::WriteProgramLog("Focus history: " + std::to_string(added) + " run(s) added to the calibration data" +
                        (already > 0 ? ", " + std::to_string(already) + " already there" : std::string()));
    Tell(status);
}

void TTempPage::AutoFocusCompleted() {
    if (storeAfterAF_->isChecked() && trainSB_->isChecked()) StorePointButtonClick();
}

void TTempPage::DeletePointButtonClick() {
    const int row = listView_->SingleSelectedRow();
    if (calibration_.Count() == 0 || row < 0) return;
    if (!Ask(kv::kDeletePointQuestion, kv::DialogType::Confirmation, kv::DialogButtons::YesCancel)) return;
    ClearFit();
    calibration_.DeleteRow(static_cast<std::size_t>(row));
    listView_->Refresh();
}

void TTempPage::ClearAllButtonClick() {
    if (!Ask(kv::kClearAllQuestion, kv::DialogType::Warning, kv::DialogButtons::YesCancel)) return;
    calibration_.ClearAll();
    listView_->Refresh();
}

void TTempPage::CalcCoeffButtonClick() {
    const kv::CoefficientResult result = calibration_.CalcCoefficients();
    Tell(result.status);
    if (!result.show) return;
    slopeEdit_->setText(Q(result.slopeText));
    r2Meter_->SetMeterValue(result.leds);
    r2Label_->setText(Q(result.r2Text));
}

QString TTempPage::TcdFilter() {
    // "caption|pattern|caption|pattern" becomes Qt's "caption;;caption".
    const QStringList parts = QString::fromLatin1(kv::kTcdFilter).split(QLatin1Char('|'));
    QStringList captions;
    for (int i = 0; i < parts.size(); i += 2) captions << parts[i];
    return captions.join(QStringLiteral(";;"));
}

QString TTempPage::AskOpenFileName() {
    const QString caption = QStringLiteral("Open");
    if (openFileName_) return openFileName_(caption, TcdFilter());
    return QFileDialog::getOpenFileName(this, caption, QCoreApplication::applicationDirPath(), TcdFilter());
}

void TTempPage::LoadTCButtonClick(bool merge) {
    if (calibration_.Count() > 0 &&
        !Ask(merge ? kv::kMergeQuestion : kv::kOverwriteQuestion, kv::DialogType::Confirmation)) {
        return;
    }
    const QString name = AskOpenFileName();
    std::optional<std::string> path;
    if (!name.isEmpty()) path = name.toStdString();
    const kv::TCStatus status = merge ? calibration_.Merge(path) : calibration_.Load(path);
    // A file that could not be read changed nothing, the fit included.
    if (status.ok() || !path) ClearFit();
    listView_->Refresh();
    Tell(status);
}

void TTempPage::SaveTCButtonClick() {
    const kv::TCStatus savable = calibration_.CheckSavable();
    if (!savable.ok()) {
        Tell(savable);
        return;
    }
    const QString suffix = QString::fromLatin1(kv::kTcdDefaultExt).mid(2);
    const QString name = form_.AskSaveFileName(QStringLiteral("Save"), TcdFilter(), suffix, QString());
    if (name.isEmpty()) return;
    const std::string comment =
        kv::TCalibrationList::SaveComment(calValueLabel_->text().toStdString(), dcLabel_->text().toStdString());
    const kv::WriteResult written = calibration_.SaveToFile(name.toStdString(), comment, std::chrono::system_clock::now());
    if (!written.ok) {
        kv::WriteProgramLog(written.message);
        form_.Dialogs().Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
    }
}

void TTempPage::ReadOwnSettings(const kv::IniFile& ini) {
    const QSignalBlocker block(storeAfterAF_);
    storeAfterAF_->setChecked(kv::ReadStoreAfterAutoFocus(ini));
}
