#include "app/manual_focus_page.h"

#include <functional>

#include <QChart>
#include <QCheckBox>
#include <QChartView>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolTip>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QResizeEvent>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>

#include "app/chart_style.h"
#include "app/focus_panel.h"
#include "app/page_context.h"
#include "app/radio_group.h"
#include "app/read_out_panel.h"
#include "app/settings_binder.h"
#include "camera/camera_control.h"
#include "camera/display_rules.h"
#include "focuser/focus_control.h"
#include "focuser/indi_focus_control.h"
#include "focuser/voice_thread.h"
#include "platform/clock.h"
#include "platform/sound_player.h"
#include "widgets/lum_lite.h"
#include "shell/window_rules.h"

namespace {

// Continuous focus: a pause between setting the interlock and starting the frames.
constexpr int kContFocusSettleMs = 100;

// The position axis shows at most this many intervals; longer scans label
// every second (third, ...) position.
constexpr int kScanAxisIntervals = 10;

// A spin edit set with its buttons only: a typed value would bypass the step.
class TSpinOnlyBox : public QSpinBox {
public:
    TSpinOnlyBox(int min, int max, int step, int value, QWidget* parent) : QSpinBox(parent) {
        setRange(min, max);
        setSingleStep(step);
        setValue(value);
        lineEdit()->setReadOnly(true);
    }
};

QSpinBox* SpinBox(const char* name, int min, int max, int value, QWidget* parent) {
    auto* se = new QSpinBox(parent);
    se->setObjectName(QString::fromLatin1(name));
    se->setRange(min, max);
    se->setValue(value);
    se->setAlignment(Qt::AlignRight);
    return se;
}

// A move box that says its range when a typed key would leave it: the plain
// box drops the key without a word, and "400" in a box up to 250 silently
// became 40.
class TMoveSpinBox final : public QSpinBox {
public:
    TMoveSpinBox(const char* name, QWidget* parent, std::function<void(const QString&)> refused)
        : QSpinBox(parent), refused_(std::move(refused)) {
        setObjectName(QString::fromLatin1(name));
        setRange(-200, 200);
        setAlignment(Qt::AlignRight);
    }
    QValidator::State validate(QString& text, int& pos) const override {
        const QValidator::State state = QSpinBox::validate(text, pos);
        if (state != QValidator::Invalid) return state;
        bool number = false;
        QString digits = text;
        digits.remove(suffix()).remove(prefix());
        digits.trimmed().toLongLong(&number);
        if (number) {
            const QString says = QStringLiteral("%1 takes %2 to %3 steps")
                                     .arg(objectName() == QLatin1String("MoveToSE") ? QStringLiteral("Move To")
                                                                                    : QStringLiteral("Move By"))
                                     .arg(minimum())
                                     .arg(maximum());
            QToolTip::showText(mapToGlobal(QPoint(0, height())), says, const_cast<TMoveSpinBox*>(this));
            refused_(says);
        }
        return state;
    }

private:
    std::function<void(const QString&)> refused_;
};

QPushButton* Button(const char* name, const QString& caption, QWidget* parent) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

}  // namespace

TManualFocusPage::TManualFocusPage(TPageContext& form, QWidget* parent) : QWidget(parent), form_(form) {
    setObjectName(QStringLiteral("ManualFocus"));

    // ---- coarse movement: held buttons, speed, stop
    auto* coarse = new QGroupBox(QStringLiteral("Coarse Focus"), this);
    auto* ch = new QHBoxLayout(coarse);
    inButton_ = Button("Focus_InBtn", QStringLiteral("In +"), coarse);
    outButton_ = Button("Focus_OutBtn", QStringLiteral("Out -"), coarse);
    for (QPushButton* b : {inButton_, outButton_}) {
        QFont f = b->font();
        f.setPointSize(f.pointSize() + 3);
        f.setBold(true);
        b->setFont(f);
        b->setMinimumSize(78, 52);
        ch->addWidget(b);
    }
    connect(inButton_, &QPushButton::pressed, this, [this] { Focus_InBtnMouseDown(true); });
    connect(outButton_, &QPushButton::pressed, this, [this] { Focus_InBtnMouseDown(false); });
    connect(inButton_, &QPushButton::released, this, &TManualFocusPage::Focus_InBtnMouseUp);
    connect(outButton_, &QPushButton::released, this, &TManualFocusPage::Focus_InBtnMouseUp);
    speed_ = new TRadioGroup(QStringLiteral("Speed"), {QStringLiteral("Slow"), QStringLiteral("Fast")}, 1, coarse);
    speed_->setObjectName(QStringLiteral("SpeedRG"));
    speed_->SetItemIndex(0);
    speed_->setToolTip(QStringLiteral("Motor speed while In or Out is held"));
    ch->addWidget(speed_);
    auto* stop = Button("StopMain", QStringLiteral("Stop"), coarse);
    stop->setMinimumHeight(52);
    connect(stop, &QPushButton::clicked, this, &TManualFocusPage::StopMainClick);
    ch->addWidget(stop);

    // ---- fine movement: one programmed move per button
    auto* fine = new QGroupBox(QStringLiteral("Fine Focus"), this);
    auto* fh = new QHBoxLayout(fine);
    struct FineButton {
        const char* name;
        const char* caption;
        int steps;
    };
    const FineButton fineButtons[] = {{"In10", "+10", 10}, {"In5", "+5", 5},   {"In1", "+1", 1},
                                      {"Out1", "-1", -1},  {"Out5", "-5", -5}, {"Out10", "-10", -10}};
    for (int i = 0; i < 6; ++i) {
        const FineButton& f = fineButtons[i];
        auto* b = Button(f.name, QString::fromLatin1(f.caption), fine);
        b->setMinimumWidth(40);
        const int steps = f.steps;
        connect(b, &QPushButton::clicked, this, [this, steps] { FineButtonClick(steps); });
        fh->addWidget(b);
        fineButtons_[i] = b;
    }

    // ---- relative and absolute moves, reset, focus frames
    auto* moves = new QGroupBox(QStringLiteral("Move"), this);
    auto* mg = new QGridLayout(moves);
    const auto sayRange = [this](const QString& says) { form_.SetStatusPanel(0, says); };
    moveBy_ = new TMoveSpinBox("MoveBySE", moves, sayRange);
    moveTo_ = new TMoveSpinBox("MoveToSE", moves, sayRange);
    for (QSpinBox* se : {moveBy_, moveTo_}) se->setSuffix(QStringLiteral(" steps"));
    settings_ui::SetToolTip(moveBy_, QStringLiteral("Steps to move from here for Move By; + is in"));
    settings_ui::SetToolTip(moveTo_, QStringLiteral("Position to go to for Move To, in steps"));
    auto* moveByButton = Button("MoveByButton", QStringLiteral("Move By"), moves);
    auto* moveToButton = Button("MoveToButton", QStringLiteral("Move To"), moves);
    connect(moveByButton, &QPushButton::clicked, this, &TManualFocusPage::MoveByButtonClick);
    connect(moveToButton, &QPushButton::clicked, this, &TManualFocusPage::MoveToButtonClick);
    mg->addWidget(moveBy_, 0, 0);
    mg->addWidget(moveByButton, 0, 1);
    mg->addWidget(moveTo_, 1, 0);
    mg->addWidget(moveToButton, 1, 1);

    auto* actions = new QVBoxLayout;
    auto* reset = Button("ResetButton", QStringLiteral("Reset"), this);
    connect(reset, &QPushButton::clicked, this, &TManualFocusPage::ResetButtonClick);
    auto* focusImage = Button("GetFocusImageButton", QStringLiteral("Get Focus Image"), this);
    focusImage->setEnabled(false);
    connect(focusImage, &QPushButton::clicked, this, &TManualFocusPage::GetFocusImageButtonClick);
    contFocus_ = Button("ContFocus", QStringLiteral("Continous Focus"), this);
    contFocus_->setCheckable(true);
    contFocus_->setEnabled(false);
    connect(contFocus_, &QPushButton::clicked, this, &TManualFocusPage::ContFocusClick);
    for (QWidget* w : {static_cast<QWidget*>(reset), static_cast<QWidget*>(focusImage), static_cast<QWidget*>(contFocus_)}) {
        actions->addWidget(w);
    }
    auto* moveRow = new QHBoxLayout;
    moveRow->addWidget(moves, 1);
    moveRow->addLayout(actions);

    // ---- the scan: its settings (under the read-out panel) and its chart
    auto* scan = new QGroupBox(QStringLiteral("Scan"), this);
    auto* sf = new QFormLayout(scan);
    sf->setContentsMargins(6, 4, 6, 4);
    sf->setVerticalSpacing(3);
    startScan_ = new TSpinOnlyBox(-200, 200, 10, -100, scan);
    startScan_->setObjectName(QStringLiteral("StartScanSE"));
    scanStep_ = new TSpinOnlyBox(5, 50, 5, 20, scan);
    scanStep_->setObjectName(QStringLiteral("ScanStepSE"));
    numSteps_ = new TSpinOnlyBox(1, 50, 1, 10, scan);
    numSteps_->setObjectName(QStringLiteral("NumStepsSE"));
    // The column is too narrow for a " steps" suffix: the unit is in the tooltip.
    settings_ui::SetToolTip(startScan_, QStringLiteral("Position of the first reading, in steps"));
    settings_ui::SetToolTip(scanStep_, QStringLiteral("Steps between readings"));
    settings_ui::SetToolTip(numSteps_, QStringLiteral("Number of moves after the first reading"));
    sf->addRow(QStringLiteral("Start at"), startScan_);
    sf->addRow(QStringLiteral("Increment"), scanStep_);
    sf->addRow(QStringLiteral("# Steps"), numSteps_);
    for (QSpinBox* se : {startScan_, scanStep_, numSteps_}) {
        se->setAlignment(Qt::AlignRight);
        connect(se, &QSpinBox::valueChanged, this, &TManualFocusPage::ScanStepSEChange);
    }
    auto* startCancel = new QHBoxLayout;
    auto* startScanButton = Button("StartScanButton", QStringLiteral("Start "), scan);
    startScanButton->setEnabled(false);
    auto* cancelScan = Button("ScanCancelButton", QStringLiteral("Cancel"), scan);
    cancelScan->setEnabled(false);
    startCancel->addWidget(startScanButton);
    startCancel->addWidget(cancelScan);
    sf->addRow(startCancel);
    auto* best = new QHBoxLayout;
    // Where a scan found best focus: any position a scan reaches, well beyond
    // the start box's own range (a hub's scan from 200 may end at 2700, a
    // fine-stepping focuser's from 1000 at 13 500).
    moveMin_ = SpinBox("MoveMinSE", -99999, 99999, 0, scan);
    moveMin_->setEnabled(false);
    settings_ui::SetToolTip(moveMin_, QStringLiteral("Best position found by the scan, in steps"));
    auto* moveToMin = Button("MoveToMinButton", QStringLiteral("Move To"), scan);
    moveToMin->setEnabled(false);
    connect(moveToMin, &QPushButton::clicked, this, &TManualFocusPage::MoveToMinButtonClick);
    best->addWidget(new QLabel(QStringLiteral("Best"), scan));
    best->addWidget(moveMin_, 1);
    best->addWidget(moveToMin);
    sf->addRow(best);

    scanChart_ = new QChart;
    scanChart_->setObjectName(QStringLiteral("ScanChart"));
    scanChart_->setTitle(QStringLiteral("       Focus Scan Results"));
    scanChart_->legend()->hide();
    auto* series = new QLineSeries(scanChart_);
    series->setObjectName(QStringLiteral("Series1"));
    scanChart_->addSeries(series);
    auto* position = new QValueAxis(scanChart_);
    position->setObjectName(QStringLiteral("ScanPositionAxis"));
    position->setTitleText(QStringLiteral("Position"));
    position->setRange(-100, 100);
    position->setTickType(QValueAxis::TicksDynamic);
    position->setTickAnchor(-100);
    position->setTickInterval(20);
    position->setLabelFormat(QStringLiteral("%d"));
    auto* fom = new QValueAxis(scanChart_);
    fom->setTitleText(QStringLiteral("Figure of Merit"));
    fom->setRange(1, 8);
    fom->setLabelFormat(QStringLiteral("%.1f"));
    scanChart_->addAxis(position, Qt::AlignBottom);
    scanChart_->addAxis(fom, Qt::AlignLeft);
    UseCompactChart(scanChart_);
    // The chart is short: the figure-of-merit title needs the smallest type to fit.
    QFont fomTitle = fom->titleFont();
    fomTitle.setPointSize(7);
    fom->setTitleFont(fomTitle);
    series->attachAxis(position);
    series->attachAxis(fom);
    auto* chartView = new QChartView(scanChart_, this);
    chartView->setObjectName(QStringLiteral("ScanChartView"));
    chartView->setRenderHint(QPainter::Antialiasing);
    chartView->setMinimumHeight(200);
    // The axis titles carry no unit: the tooltip gives them.
    chartView->setToolTip(QStringLiteral("Figure of merit: FWHM, xFWHM, yFWHM and HFD in pixels, Peak in camera counts; across, the focuser position in steps"));

    // ---- placing: the read-out panel covers the top of the left column, the
    // focus panel the right edge (PlaceAroundPanels fits the margins to them).
    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(8, 6, 236, 6);
    page->setSpacing(8);
    leftColumn_ = new QVBoxLayout;
    leftColumnTop_ = new QWidget(this);
    leftColumnTop_->setFixedHeight(266);
    leftColumn_->addWidget(leftColumnTop_);
    leftColumn_->addWidget(scan);
    leftColumn_->addStretch();
    auto* left = new QWidget(this);
    left->setLayout(leftColumn_);
    leftColumn_->setContentsMargins(0, 0, 0, 0);
    left->setFixedWidth(170);
    page->addWidget(left);
    auto* middle = new QVBoxLayout;
    middle->addWidget(coarse);
    middle->addWidget(fine);
    middle->addLayout(moveRow);
    middle->addWidget(chartView, 1);
    page->addLayout(middle, 1);
}

TManualFocusPage::~TManualFocusPage() {
    // No announcer may outlive the window whose caption it reads.
    if (announcer_) announcer_->StopAndJoin();
    announcer_.reset();
}

void TManualFocusPage::showEvent(QShowEvent* event) {
    if (TReadOutPanel* readOut = ReadOut(); readOut != nullptr && watchedReadOut_ == nullptr) {
        readOut->installEventFilter(this);
        watchedReadOut_ = readOut;
    }
    PlaceAroundPanels();
    QWidget::showEvent(event);
}

void TManualFocusPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (isVisible()) PlaceAroundPanels();
}

bool TManualFocusPage::eventFilter(QObject* watched, QEvent* event) {
    // Only a change of the panel's height while this page shows: the window
    // may be half torn down when the panel gets other events.
    if (watched == watchedReadOut_ && event->type() == QEvent::Resize && isVisible()) {
        const auto* resize = static_cast<QResizeEvent*>(event);
        if (resize->oldSize().height() != resize->size().height()) PlaceAroundPanels();
    }
    return QWidget::eventFilter(watched, event);
}

void TManualFocusPage::PlaceAroundPanels() {
    auto* page = qobject_cast<QHBoxLayout*>(layout());
    QMargins margins = page->contentsMargins();
    if (TReadOutPanel* readOut = ReadOut(); readOut != nullptr && readOut->parentWidget()->isAncestorOf(this)) {
        const QPoint topLeft = mapFrom(readOut->parentWidget(), readOut->geometry().topLeft());
        margins.setLeft(std::max(0, topLeft.x()));
        leftColumnTop_->setFixedHeight(std::max(0, topLeft.y() + readOut->height() + 6 - margins.top()));
    }
    if (QWidget* focusPanel = FormControl("FocusPanel"); focusPanel != nullptr && focusPanel->parentWidget()->isAncestorOf(this)) {
        const int left = mapFrom(focusPanel->parentWidget(), focusPanel->geometry().topLeft()).x();
        if (left > 0 && left < width()) margins.setRight(width() - left + 8);
    }
    page->setContentsMargins(margins);
}

TReadOutPanel* TManualFocusPage::ReadOut() const { return form_.ReadOutPanel(); }

QWidget* TManualFocusPage::FormControl(const char* name) const {
    return form_.Window().findChild<QWidget*>(QString::fromLatin1(name));
}

// ---------------------------------------------------------------- focuser notifications

void TManualFocusPage::AttachFocuser(kv::TFocusControl* focuser) {
    if (focuser == nullptr) return;
    focuser->SetOnCTSChange([this](kv::TFocusControl&, std::int32_t count, bool dsr) {
        QMetaObject::invokeMethod(this, [this, count, dsr] { OnCTSChange(count, dsr); }, Qt::QueuedConnection);
    });
    focuser->SetOnIdleChange([this](kv::TFocusControl& sender, bool idle) {
        const bool lineMode = sender.UseRTS_DTR();
        QMetaObject::invokeMethod(this, [this, idle, lineMode] { OnIdleChange(idle, lineMode); }, Qt::QueuedConnection);
    });
}

void TManualFocusPage::OnCTSChange(std::int32_t ctsCount, bool dsrValue) {
    TReadOutPanel* readOut = ReadOut();
    // Started by the first count only: the lamp goes out 1700 ms after a run
    // began and lights again with the next count.
    if (!readOut->MovingTimer()->isActive()) readOut->MovingTimer()->start();
    readOut->MovingLite()->SetLit(true);
    readOut->SetPositionText(QString::fromStdString(kv::PositionText(ctsCount)));
    readOut->OutLite()->SetLit(dsrValue);
    readOut->InLite()->SetLit(!dsrValue);
    // A device server's focuser has its server's travel, which only the
    // server knows: Move To takes that, not the kind's fixed range.
    if (const auto* indi = dynamic_cast<const kv::TIndiFocusControl*>(form_.FocusControl())) {
        if (const auto range = indi->MoveRange(); range && (moveTo_->minimum() != range->min || moveTo_->maximum() != range->max)) {
            moveTo_->setRange(range->min, range->max);
            settings_ui::RefreshToolTipRange(moveTo_);
        }
    }
}

void TManualFocusPage::OnIdleChange(bool idleValue, bool lineMode) {
    ReadOut()->MovingLite()->SetLit(!idleValue);
    // A running scan or search owns the focuser: its moves ending must not
    // hand the coarse buttons back.
    const bool procedure = form_.ProcedureRunning();
    const bool coarse = idleValue && !contFocus_->isChecked() && !procedure;
    inButton_->setEnabled(coarse);
    outButton_->setEnabled(coarse);
    // In line mode the speed cannot be chosen at all (the parameter update
    // disabled it), so only the command mode follows the focuser.
    if (!lineMode) speed_->setEnabled(idleValue);
    for (QWidget* b : fineButtons_) b->setEnabled(idleValue && !procedure);
    if (QWidget* about = FormControl("AboutButton")) about->setEnabled(idleValue && !procedure);
    if (idleValue && Voice() != kv::kVoiceNone) Announce(kMoveEndVoiceDelayMs);
    TPageContext::BroadcastKantrel(kv::kKantrelIdle, idleValue ? 1 : 0);
    if (idleValue) {
        TPageContext::BroadcastKantrel(kv::kKantrelPosition, ReadOut()->PositionValue());
        emit moveEnded(ReadOut()->PositionValue());
    }
}

// ---------------------------------------------------------------- voice

int TManualFocusPage::Voice() const {
    const auto* rg = form_.Window().findChild<TRadioGroup*>(QStringLiteral("VoiceRG"));
    const int index = rg != nullptr ? rg->ItemIndex() : kv::kVoiceNone;
    // Nothing chosen (an out-of-range stored value) counts as no voice.
    return index == kv::kVoiceFemale || index == kv::kVoiceMale ? index : kv::kVoiceNone;
}

void TManualFocusPage::StopAnnouncer() {
    if (Voice() != kv::kVoiceNone && announcer_ && kv::VoiceSpeaking.load()) announcer_->Stop();
}

void TManualFocusPage::Announce(int delayMs) {
    const int voice = Voice();
    if (voice == kv::kVoiceNone) return;
    if (!announcer_) {
        kv::ISoundPlayer& player = soundPlayer_ != nullptr ? *soundPlayer_ : kv::DefaultSoundPlayer();
        announcer_ = std::make_unique<kv::TVoiceAnnouncer>(kv::VoiceServices{
            player, form_.EngineDialogs(), kv::DefaultClock(), form_.ProgramFolder() + kv::kVoiceClipsFolderName});
    }
    // The announcer reads the caption on its own thread: it gets the shared
    // copy, which it keeps alive for as long as it needs it.
    std::shared_ptr<const TSharedCaption> caption = ReadOut()->PositionCaption();
    announcer_->Announce([caption] { return caption->Get(); }, voice, delayMs);
}

void TManualFocusPage::SetSoundPlayer(kv::ISoundPlayer& player) {
    if (announcer_) announcer_->StopAndJoin();
    announcer_.reset();
    soundPlayer_ = &player;
}

// ---------------------------------------------------------------- handlers

void TManualFocusPage::Focus_InBtnMouseDown(bool inward) {
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr || !focuser->GetIdle()) return;
    StopAnnouncer();
    focuser->StartMove(inward, speed_->ItemIndex() == 1);
    TPageContext::BroadcastKantrel(kv::kKantrelIdle, 0);
    emit movedByHand();
}

void TManualFocusPage::Focus_InBtnMouseUp() {
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr || !focuser->GetIdle()) return;
    focuser->StopMove();
    if (Voice() != kv::kVoiceNone) Announce(kManualRunVoiceDelayMs);
    TPageContext::BroadcastKantrel(kv::kKantrelIdle, 1);
    // The window makes its timers after its pages, so the page takes the
    // timer's ticks from here, where it starts it.
    connect(form_.FW2Timer(), &QTimer::timeout, this, &TManualFocusPage::FW2TimerTimer, Qt::UniqueConnection);
    form_.FW2Timer()->start();
}

void TManualFocusPage::FW2TimerTimer() {
    form_.FW2Timer()->stop();
    TPageContext::BroadcastKantrel(kv::kKantrelPosition, ReadOut()->PositionValue());
}

void TManualFocusPage::FineButtonClick(int steps) {
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr) return;
    StopAnnouncer();
    focuser->MoveBy(steps);
    emit movedByHand();
    // A plain pause, not a wait for the move: its busy report is queued by
    // then and disables these buttons before the next click is taken.
    QThread::msleep(kFineMoveSettleMs);
}

void TManualFocusPage::MoveByButtonClick() {
    StopAnnouncer();
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr || !focuser->GetIdle()) return;
    focuser->MoveBy(moveBy_->value());
    emit movedByHand();
}

void TManualFocusPage::MoveToButtonClick() {
    StopAnnouncer();
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr || !focuser->GetIdle()) return;
    focuser->MoveTo(moveTo_->value());
    emit movedByHand();
}

void TManualFocusPage::MoveToMinButtonClick() {
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr) return;
    focuser->MoveTo(moveMin_->value());
    emit movedByHand();
}

void TManualFocusPage::ResetButtonClick() {
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr) return;
    focuser->StopMove();
    focuser->CancelMovement();
    focuser->ResetPosition();
    // The reset's position report is queued behind this call; what follows
    // runs after it, so the read-out already shows the new position.
    if (Voice() == kv::kVoiceNone) {
        QMetaObject::invokeMethod(this, &TManualFocusPage::FinishReset, Qt::QueuedConnection);
        return;
    }
    StopAnnouncer();
    // The motor may still coast a few counts: the position is spoken and
    // reported once it has settled, without holding up the window meanwhile.
    QTimer::singleShot(kResetSettleMs, this, [this] {
        kv::TFocusControl* now = form_.FocusControl();
        if (now != nullptr && now->GetIdle()) Announce(kResetVoiceDelayMs);
        FinishReset();
    });
}

void TManualFocusPage::FinishReset() {
    TPageContext::BroadcastKantrel(kv::kKantrelPosition, ReadOut()->PositionValue());
    TPageContext::BroadcastKantrel(kv::kKantrelReset, 0);
}

void TManualFocusPage::StopMainClick() {
    kv::TFocusControl* focuser = form_.FocusControl();
    if (focuser == nullptr) return;
    focuser->CancelMovement();
    focuser->StopMove();
}

void TManualFocusPage::GetFocusImageButtonClick() { form_.GetFocusImage(); }

void TManualFocusPage::ContFocusClick(bool down) {
    kv::TCameraControl* camera = form_.CameraControl();
    kv::TFocusControl* focuser = form_.FocusControl();
    TFocusPanel* panel = form_.FocusPanel();
    auto* interlock = qobject_cast<QCheckBox*>(FormControl("SBIGInterlockCB"));
    panel->FocusStretchRGClick();
    if (interlock != nullptr) interlock->setEnabled(!down);
    form_.SetStatusPanel(2, QString());
    // Frames and pulse-counted moves take turns only for that maker's camera
    // on a hub focuser; elsewhere the switch just locks the coarse buttons.
    const bool inForce = down && interlock != nullptr && interlock->isChecked() && camera != nullptr &&
                         camera->IsSBIG() && focuser != nullptr && focuser->JMIFlag();
    if (camera != nullptr) camera->SetSBIGInterlock(inForce);
    if (focuser != nullptr) focuser->SetSBIGInterlock(inForce);
    if (down) panel->ResetFomAverage();
    if (interlock != nullptr && interlock->isChecked()) {
        inButton_->setEnabled(!down);
        outButton_->setEnabled(!down);
        inButton_->repaint();
        outButton_->repaint();
    }
    QThread::msleep(kContFocusSettleMs);
    if (camera != nullptr) camera->SetContinuousFocus(down);
    panel->RefreshFomCaption();
    if (form_.State().imageTaken) {
        for (const char* name : {"GetFocusImageButton", "GetFocusImageButton2"}) {
            if (QWidget* b = FormControl(name)) b->setEnabled(!down);
        }
    }
}

void TManualFocusPage::ScanStepSEChange() { ShowScanAxis(ScanSettings()); }

kv::ScanSettings TManualFocusPage::ScanSettings() const {
    return {startScan_->value(), scanStep_->value(), numSteps_->value()};
}

void TManualFocusPage::ShowScanAxis(const kv::ScanSettings& settings) {
    auto* axis = qobject_cast<QValueAxis*>(scanChart_->axes(Qt::Horizontal).value(0));
    if (axis == nullptr) return;
    const kv::AxisRange range = kv::ScanAxisRange(settings);
    axis->setMin(range.min);
    axis->setMax(range.max);
    axis->setTickAnchor(range.min);
    const int steps = std::max(1, settings.steps);
    axis->setTickInterval(settings.increment * ((steps + kScanAxisIntervals - 1) / kScanAxisIntervals));
}
