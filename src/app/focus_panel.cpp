#include "app/focus_panel.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <mutex>
#include <optional>

#include "app/focus_zoom.h"
#include "app/image_view_helpers.h"
#include "app/page_context.h"
#include "app/picture_view.h"
#include "app/radio_group.h"
#include "camera/camera_control.h"
#include "camera/field_figure.h"
#include "camera/image_object.h"
#include "focusing/focus_frames.h"
#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"
#include "widgets/lum_lbl.h"
#include "widgets/lum_lite.h"
#include "widgets/tcolor.h"

namespace {

constexpr int kDisplayTop = 24;
constexpr int kFocusFrameDefault = 100;
// Absent from the factory file; written only once the user changes it.
constexpr const char* kCameraControlSection = "CameraControl";
constexpr const char* kSaveFocusFramesKey = "SaveFocusFrames";
using kv::StretchAuto;
using kv::StretchManual;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The field-median switch; absent until the user changes it.
constexpr const char* kFocusFigureSection = "FocusFigure";
constexpr const char* kFieldMedianKey = "FieldMedian";

QLineEdit* ReadOut(const char* name, QWidget* parent) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::NoFocus);
    e->setAlignment(Qt::AlignRight);
    e->setFixedHeight(20);
    return e;
}

QLabel* Small(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setFixedHeight(20);
    return l;
}

}  // namespace

TFocusPanel::TFocusPanel(TPageContext& form, QWidget* parent)
    : QFrame(parent), form_(form), minFilter_(kv::kStretchLevelLineSize, 100), maxFilter_(kv::kStretchLevelLineSize, 65535) {
    setObjectName(QStringLiteral("FocusPanel"));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setAutoFillBackground(true);
    setGeometry(TPageContext::kClientWidth - kWidth - 4, 26, kWidth, kHeight);

    // ---- heading and the focus frame
    head_ = new QWidget(this);
    auto* head = new QHBoxLayout(head_);
    head->setContentsMargins(6, 0, 6, 0);
    head->addWidget(new QLabel(QStringLiteral("Focus Frame"), head_));
    head->addStretch();
    head->addWidget(new QLabel(QStringLiteral("Camera Busy"), head_));
    cameraBusyLight_ = new kv::TlumLite(head_);
    cameraBusyLight_->setObjectName(QStringLiteral("CameraBusyLight"));
    cameraBusyLight_->SetOnColor(kv::ColorFromTColor(250859));
    cameraBusyLight_->SetOffColor(kv::ColorFromTColor(30583));
    cameraBusyLight_->setFixedSize(14, 14);
    head->addWidget(cameraBusyLight_);
    head_->setGeometry(0, 3, kWidth, 20);

    displayPanel_ = new QFrame(this);
    displayPanel_->setObjectName(QStringLiteral("FocusDisplayPanel"));
    displayPanel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    displayPanel_->setLineWidth(1);
    focusDisplay_ = new TPictureView(displayPanel_);
    focusDisplay_->setObjectName(QStringLiteral("FocusDisplay"));
    focusDisplay_->installEventFilter(this);

    // ---- everything below it
    below_ = new QWidget(this);
    auto* v = new QVBoxLayout(below_);
    v->setContentsMargins(6, 0, 6, 4);
    v->setSpacing(2);

    fwhmEdit_ = ReadOut("FWHMEdit", below_);
    hfdEdit_ = ReadOut("HFDEdit", below_);
    xFwhmEdit_ = ReadOut("xFWHMEdit", below_);
    yFwhmEdit_ = ReadOut("yFWHMEdit", below_);
    peakEdit_ = ReadOut("PeakEdit", below_);
    fwhmEdit_->setToolTip(QStringLiteral("Full width of the star at half its peak"));
    hfdEdit_->setToolTip(QStringLiteral("Diameter of the circle holding half the star's light"));
    xFwhmEdit_->setToolTip(QStringLiteral("Full width at half maximum, horizontally"));
    yFwhmEdit_->setToolTip(QStringLiteral("Full width at half maximum, vertically"));
    peakEdit_->setToolTip(QStringLiteral("The star's brightest pixel, in camera counts"));
    // The widths stand under their captions: a caption, its unit and a
    // four-decimal width side by side would not fit the panel's width.
    const struct {
        const char* caption;
        QLineEdit* edit;
        int row, column;
    } widths[] = {{"FWHM (px)", fwhmEdit_, 0, 0},
                  {"HFD (px)", hfdEdit_, 0, 1},
                  {"xFWHM (px)", xFwhmEdit_, 2, 0},
                  {"yFWHM (px)", yFwhmEdit_, 2, 1}};
    auto* figures = new QGridLayout;
    figures->setHorizontalSpacing(8);
    figures->setVerticalSpacing(1);
    for (const auto& w : widths) {
        QLabel* caption = Small(QString::fromLatin1(w.caption), below_);
        caption->setFixedHeight(caption->fontMetrics().height() + 1);
        caption->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
        figures->addWidget(caption, w.row, w.column);
        figures->addWidget(w.edit, w.row + 1, w.column);
    }
    auto* peak = new QHBoxLayout;
    peak->setSpacing(4);
    peak->addWidget(Small(QStringLiteral("Peak"), below_));
    peak->addWidget(peakEdit_, 1);
    figures->setRowMinimumHeight(4, 4);
    figures->addLayout(peak, 5, 0);
    fomLabel_ = new QLabel(QStringLiteral("FWHM"), below_);
    fomLabel_->setObjectName(QStringLiteral("FOMLabel"));
    fomLabel_->setAlignment(Qt::AlignCenter);
    fomLabel_->setStyleSheet(QStringLiteral("font-weight: bold;"));
    fomLabel_->setToolTip(QStringLiteral("Right-click to choose the figure of merit"));
    figures->addWidget(fomLabel_, 5, 1);
    fomOrAvgLabel_ = new QLabel(QStringLiteral("Figure\n\rof Merit"), below_);
    fomOrAvgLabel_->setObjectName(QStringLiteral("FOMorAvgLabel"));
    fomOrAvgLabel_->setAlignment(Qt::AlignCenter);
    figures->addWidget(fomOrAvgLabel_, 6, 0);
    fomEdit_ = ReadOut("FOMEdit", below_);
    fomEdit_->setFixedHeight(28);
    fomEdit_->setAlignment(Qt::AlignCenter);
    QFont big = fomEdit_->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.4);
    fomEdit_->setFont(big);
    fomEdit_->setToolTip(fomLabel_->toolTip() + QStringLiteral("; widths and HFD in pixels, Peak in camera counts"));
    figures->addWidget(fomEdit_, 6, 1);
    figures->setColumnStretch(0, 1);
    figures->setColumnStretch(1, 1);
    v->addLayout(figures);

    // ---- exposure, gain, magnification and FWHM factor
    auto* sliders = new QGridLayout;
    sliders->setHorizontalSpacing(4);
    sliders->setVerticalSpacing(0);
    const struct {
        const char* name;
        const char* label;
        int min, max, value, line, page;
        QSlider** out;
        const char* tip;
    } defs[] = {{"ExposureMS", "ExposeTimeLabel", 0, 2000, 1000, 10, 50, &exposureMS_,
                 "Exposure of each focus frame, in seconds, up to the default exposure setting"},
                {"FocusGain", "FocusGainLabel", 1, 40, 10, 1, 5, &focusGain_, "Brightens the focus frame on screen"},
                {"Magnification", "MagLabel", 1, 3, 1, 1, 1, &magnification_, "Enlarges the focus frame, 1x to 3x"},
                {"FWHMFactor", "FWHMFactorLabel", 1, 3, 1, 1, 1, &fwhmFactor_,
                 "Multiplies the measured star widths, 1x to 3x"}};
    int row = 0;
    for (const auto& d : defs) {
        auto* caption = new kv::TlumLbl(below_);
        caption->setObjectName(QString::fromLatin1(d.label));
        caption->setFixedHeight(18);
        // Wide enough for the longest caption each slider can show.
        int wide = 0;
        for (const char* longest : {"Expose Time = 0.00 s", "Magnification = 3x", "FWHM Factor = 3x", "Focus Gain = 4.0"}) {
            wide = std::max(wide, caption->fontMetrics().horizontalAdvance(QString::fromLatin1(longest)));
        }
        caption->setMinimumWidth(wide + 8);
        auto* slider = new QSlider(Qt::Horizontal, below_);
        slider->setObjectName(QString::fromLatin1(d.name));
        slider->setRange(d.min, d.max);
        slider->setValue(d.value);
        slider->setSingleStep(d.line);
        slider->setPageStep(d.page);
        slider->setFixedHeight(20);
        slider->setToolTip(QString::fromLatin1(d.tip));
        sliders->addWidget(caption, row, 0);
        sliders->addWidget(slider, row, 1);
        *d.out = slider;
        ++row;
        if (slider == exposureMS_) {
            // The slider's scale: half the default exposure under its middle,
            // the default at its right end (the parameter update fills them).
            auto* scale = new QHBoxLayout;
            scale->setContentsMargins(0, 0, 0, 0);
            scale->addStretch(1);
            for (const char* name : {"Label20", "Label21"}) {
                QLabel* mark = Small(QString(), below_);
                mark->setObjectName(QString::fromLatin1(name));
                scale->addWidget(mark);
                if (name[6] == '0') scale->addStretch(1);
            }
            sliders->addLayout(scale, row, 1);
            ++row;
        }
    }
    sliders->setColumnStretch(1, 1);
    v->addLayout(sliders);
    auto label = [this](const char* name) { return findChild<QLabel*>(QString::fromLatin1(name)); };
    label("ExposeTimeLabel")->setText(Q(kv::ExposeTimeText(exposureMS_->value())));
    label("FocusGainLabel")->setText(Q(kv::FocusGainText(kv::GainFromSlider(focusGain_->value()))));
    label("MagLabel")->setText(Q(kv::MagnificationText(magnification_->value())));
    label("FWHMFactorLabel")->setText(Q(kv::FWHMFactorText(fwhmFactor_->value())));

    // ---- focus stretch
    stretch_ = new TRadioGroup(QStringLiteral("Focus Stretch"), {"None", "Manual", "Auto"}, 3, below_);
    stretch_->setObjectName(QStringLiteral("FocusStretchRG"));
    stretch_->setToolTip(QStringLiteral("How the focus frame is stretched for display"));
    stretch_->SetItemIndex(StretchAuto);
    v->addWidget(stretch_);
    auto* levels = new QGridLayout;
    levels->setVerticalSpacing(0);
    const struct {
        const char* name;
        const char* label;
        const char* caption;
        int min, max, value;
        QLabel** labelOut;
        QSlider** out;
    } levelDefs[] = {{"FocusMinTB", "FocusMinLabel", "Black", 10, 65535, 100, &minLabel_, &minTB_},
                     {"FocusmaxTB", "FocusMaxLabel", "White", 100, 65535, 65535, &maxLabel_, &maxTB_}};
    row = 0;
    for (const auto& d : levelDefs) {
        auto* l = Small(QString::fromLatin1(d.caption), below_);
        l->setObjectName(QString::fromLatin1(d.label));
        auto* slider = new QSlider(Qt::Horizontal, below_);
        slider->setObjectName(QString::fromLatin1(d.name));
        slider->setRange(d.min, d.max);
        slider->setValue(d.value);
        slider->setSingleStep(kv::kStretchLevelLineSize);
        slider->setPageStep(500);
        slider->setToolTip(QStringLiteral("Camera counts shown as %1 by a manual stretch (%2-%3)")
                               .arg(QString::fromLatin1(d.caption).toLower())
                               .arg(d.min)
                               .arg(d.max));
        slider->setFixedHeight(20);
        levels->addWidget(l, row, 0);
        levels->addWidget(slider, row, 1);
        *d.labelOut = l;
        *d.out = slider;
        ++row;
    }
    levels->setColumnStretch(1, 1);
    v->addLayout(levels);
    for (QWidget* w : std::initializer_list<QWidget*>{minTB_, maxTB_, minLabel_, maxLabel_}) w->setEnabled(false);

    removeBackground_ = new QCheckBox(QStringLiteral("Remove Background"), below_);
    removeBackground_->setObjectName(QStringLiteral("RemoveBackgroundCB"));
    removeBackground_->setChecked(true);
    removeBackground_->setToolTip(QStringLiteral("Subtract the sky level before the star is measured"));
    v->addWidget(removeBackground_);
    saveFrames_ = new QCheckBox(QStringLiteral("Save focus frames"), below_);
    saveFrames_->setObjectName(QStringLiteral("SaveFocusFramesCB"));
    v->addWidget(saveFrames_);
    v->addStretch();

    auto* intRow = new QHBoxLayout;
    intLabel_ = new QLabel(QStringLiteral("Hardware Interrupts State"), below_);
    intLabel_->setObjectName(QStringLiteral("IntLabel"));
    intLite_ = new kv::TlumLite(below_);
    intLite_->setObjectName(QStringLiteral("IntLite"));
    intRow->addWidget(intLabel_);
    intRow->addWidget(intLite_);
    intRow->addStretch();
    v->addLayout(intRow);
    intLabel_->hide();
    intLite_->hide();

    // ---- figure-of-merit menu
    popup_ = new QMenu(this);
    popup_->setObjectName(QStringLiteral("FWHMPopup"));
    auto* kinds = new QActionGroup(popup_);
    kinds->setExclusive(true);
    for (int kind = 0; kind < 5; ++kind) {
        QAction* a = popup_->addAction(QString::fromLatin1(kv::FomName(kind)));
        a->setObjectName(QStringLiteral("%11").arg(QString::fromLatin1(kv::FomName(kind))));
        a->setCheckable(true);
        a->setData(kind);
        kinds->addAction(a);
        fomItems_[kind] = a;
        connect(a, &QAction::triggered, this, [this, kind] { FomItemChosen(kind); });
    }
    fomItems_[0]->setChecked(true);
    popup_->addSeparator();
    roiItem_ = popup_->addAction(QStringLiteral("ROI"));
    roiItem_->setObjectName(QStringLiteral("ROI1"));
    roiItem_->setData(100);
    maskRoiItem_ = popup_->addAction(QStringLiteral("Mask ROI"));
    maskRoiItem_->setObjectName(QStringLiteral("MaskROI1"));
    maskRoiItem_->setData(200);
    // A size taken as the median over the stars of the whole image rather
    // than the selected star's own; the key is written once the user changes it.
    popup_->addSeparator();
    fieldItem_ = popup_->addAction(QStringLiteral("Field Median"));
    fieldItem_->setObjectName(QStringLiteral("FieldMedian1"));
    fieldItem_->setData(300);
    fieldItem_->setToolTip(QStringLiteral("FWHM and HFD: the median over the stars of the whole image"));
    for (QAction* a : {roiItem_, maskRoiItem_, fieldItem_}) a->setCheckable(true);
    // The camera holds the switches (the parameter update sets them from the
    // settings): the check marks show them whenever the menu opens.
    connect(popup_, &QMenu::aboutToShow, this, [this] {
        if (kv::TCameraControl* camera = form_.CameraControl()) {
            roiItem_->setChecked(camera->ROIOn());
            maskRoiItem_->setChecked(camera->MaskROI());
        }
    });
    connect(roiItem_, &QAction::toggled, this, [this](bool on) {
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetROIOn(on);
    });
    connect(maskRoiItem_, &QAction::toggled, this, [this](bool on) {
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetMaskROI(on);
    });
    connect(fieldItem_, &QAction::triggered, this, [this](bool on) {
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetFieldFigure(on);
        ResetFomAverage();
        RefreshFomCaption();
        const kv::WriteResult written =
            kv::SaveSettingValue(form_.IniPath(), kFocusFigureSection, kFieldMedianKey, on ? "1" : "0");
        if (written.ok) return;
        kv::WriteProgramLog(written.message);
        form_.Dialogs().Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
    });
    for (QWidget* w : std::initializer_list<QWidget*>{fomEdit_, fomLabel_}) {
        w->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(w, &QWidget::customContextMenuRequested, this, [this, w](QPoint pos) { ShowPopup(w, pos); });
    }

    zoom_ = new TFocusZoom(this);

    // ---- handlers
    connect(exposureMS_, &QSlider::valueChanged, this, [this, label](int ms) {
        label("ExposeTimeLabel")->setText(Q(kv::ExposeTimeText(ms)));
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetExposureTime(ms / 1000.0);
    });
    connect(focusGain_, &QSlider::valueChanged, this, [this, label](int position) {
        const double gain = kv::GainFromSlider(position);
        label("FocusGainLabel")->setText(Q(kv::FocusGainText(gain)));
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetFocusGain(gain);
    });
    connect(magnification_, &QSlider::valueChanged, this, [this, label](int m) {
        label("MagLabel")->setText(Q(kv::MagnificationText(m)));
        if (kv::TImageObject* image = FocusImage()) {
            image->SetMagnification(m);
            PutFocusImage();
        }
    });
    connect(fwhmFactor_, &QSlider::valueChanged, this, [this, label](int f) {
        label("FWHMFactorLabel")->setText(Q(kv::FWHMFactorText(f)));
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetFWHMFactorSetting(f);
    });
    connect(removeBackground_, &QCheckBox::toggled, this, [this](bool on) {
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetRemoveBackground(on);
    });
    connect(saveFrames_, &QCheckBox::toggled, this, [this](bool on) {
        const kv::WriteResult written =
            kv::SaveSettingValue(form_.IniPath(), kCameraControlSection, kSaveFocusFramesKey, on ? "1" : "0");
        if (written.ok) return;
        kv::WriteProgramLog(written.message);
        form_.Dialogs().Show(written.message, kv::DialogType::Error, kv::DialogButtons::Ok);
    });
    connect(stretch_, &TRadioGroup::itemIndexChanged, this, &TFocusPanel::FocusStretchRGClick);
    for (QSlider* tb : {minTB_, maxTB_}) {
        connect(tb, &QSlider::valueChanged, this, [this, tb] { FocusLevelChanged(tb); });
    }
    connect(focusDisplay_, &TPictureView::mouseMoved, this, &TFocusPanel::FocusPointerMoved);
    connect(focusDisplay_, &TPictureView::doubleClicked, this, [this] {
        PutFocusImage();
        zoom_->show();
        zoom_->raise();
    });
    connect(focusDisplay_, &TPictureView::mousePressed, this, [this](QPoint, Qt::MouseButton button) {
        if (button == Qt::RightButton) SaveImage(form_, focusDisplay_, FocusImage(), true);
    });

    SetFocusFrameSize(kFocusFrameDefault, kFocusFrameDefault);
}

bool TFocusPanel::SaveFocusFrames() const { return saveFrames_->isChecked(); }

QString TFocusPanel::FocusFramesFolder() const {
    return QFileInfo(QString::fromStdString(form_.IniPath())).absolutePath() + QLatin1Char('/') +
           QLatin1String(kv::kFocusFramesFolder) + QLatin1Char('/');
}

void TFocusPanel::ReadOwnSettings(const kv::IniFile& ini) {
    {
        const QSignalBlocker block(fieldItem_);
        fieldItem_->setChecked(ini.GetInteger(kFocusFigureSection, kFieldMedianKey, 0) != 0);
        if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetFieldFigure(FieldMedian());
    }
    const QSignalBlocker blocker(saveFrames_);
    saveFrames_->setChecked(ini.GetBool(kCameraControlSection, kSaveFocusFramesKey, false));
    saveFrames_->setToolTip(QStringLiteral("Scans and auto focus write every focus frame as a FITS file, one folder "
                                           "per run, in %1")
                                .arg(QDir::toNativeSeparators(FocusFramesFolder())));
}

void TFocusPanel::ShowInterruptsLite(bool show) {
    intLabel_->setVisible(show);
    intLite_->setVisible(show);
}

// ---------------------------------------------------------------- the focus frame

void TFocusPanel::SetFocusFrameSize(int width, int height) {
    const QSize panel(std::max(width, 0) + 2, std::max(height, 0) + 2);
    displayPanel_->setFixedSize(panel);
    displayPanel_->move(kv::FocusPanelLeft(kWidth, panel.width()), kDisplayTop);
    focusDisplay_->setGeometry(1, 1, panel.width() - 2, panel.height() - 2);
    PlaceBelowFrame();
}

void TFocusPanel::PlaceBelowFrame() {
    const int top = kDisplayTop + displayPanel_->height() + 4;
    below_->setGeometry(0, top, kWidth, std::max(height() - top - 2, 0));
}

void TFocusPanel::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    PlaceBelowFrame();
}

kv::TImageObject* TFocusPanel::FocusImage() const {
    kv::TCameraControl* camera = form_.CameraControl();
    return camera != nullptr ? camera->FocusImage() : nullptr;
}

void TFocusPanel::SetFocusImage(kv::TImageObject* image) {
    for (TPictureView* view : {focusDisplay_, zoom_->Image1()}) {
        view->SetSource(image);
        view->SetOverlay(std::nullopt);
    }
}

void TFocusPanel::PutFocusImage() {
    kv::TImageObject* image = FocusImage();
    PutImage(image, focusDisplay_);
    PutImage(image, zoom_->Image1());
}

void TFocusPanel::ApplyControlsToCamera() {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    camera->SetExposureTime(exposureMS_->value() / 1000.0);
    camera->SetFWHMFactorSetting(fwhmFactor_->value());
    camera->SetRemoveBackground(removeBackground_->isChecked());
    camera->SetFieldFigure(FieldMedian());
    if (kv::TImageObject* image = camera->FocusImage()) image->SetMagnification(magnification_->value());
}

// ---------------------------------------------------------------- read-outs

void TFocusPanel::ClearFocusReadings() {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &TFocusPanel::ClearFocusReadings, Qt::QueuedConnection);
        return;
    }
    for (QLineEdit* e : {fwhmEdit_, hfdEdit_, xFwhmEdit_, yFwhmEdit_, peakEdit_, fomEdit_}) e->clear();
}

void TFocusPanel::ShowFocusReadings() {
    kv::TCameraControl* camera = form_.CameraControl();
    if (camera == nullptr) return;
    const kv::FocusReading reading = camera->Reading();
    const bool continuous = camera->ContinuousFocus();
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, reading, continuous] { ShowReading(reading, continuous); },
                                  Qt::QueuedConnection);
        return;
    }
    ShowReading(reading, continuous);
}

void TFocusPanel::ShowReading(const kv::FocusReading& r, bool continuous) {
    auto fixed = [](double v) { return QString::asprintf("%3.4f", v); };
    if (r.status != kv::StarStatus::Ok) {
        // The figures of a frame without a star measure noise or a spread of
        // light: shown as numbers they read like a star, often a sharp one.
        for (QLineEdit* e : {fwhmEdit_, hfdEdit_, xFwhmEdit_, yFwhmEdit_, peakEdit_}) e->clear();
    } else {
        fwhmEdit_->setText(fixed(r.FWHM));
        hfdEdit_->setText(fixed(r.HFD));
        xFwhmEdit_->setText(fixed(r.xFWHM));
        yFwhmEdit_->setText(fixed(r.yFWHM));
        peakEdit_->setText(QString::number(r.Peak));
    }
    kv::TCameraControl* camera = form_.CameraControl();
    // A whole-field reading is a size whatever the figure chosen.
    const kv::FomKind kind = camera != nullptr ? camera->MeasureKind() : kv::FomKind::FWHM;
    // The caption says how many stars the figure stands for.
    const bool field = camera != nullptr && ((camera->FieldFigure() && kv::FieldKind(kind)) || camera->WholeField());
    const QString name = QString::fromLatin1(kv::FomName(static_cast<int>(kind)));
    fomLabel_->setText(field ? QStringLiteral("%1  %2 stars").arg(name).arg(r.stars) : name);
    if (r.status != kv::StarStatus::Ok) {
        // Not a figure at all: it neither shows as one nor joins the average.
        fomEdit_->setText(QString::fromLatin1(kv::StarStatusText(r.status)));
        return;
    }
    // Only the figure of merit is averaged, and only while continuous focus runs.
    const double fom = continuous ? AverageFOM(r.FOM) : r.FOM;
    const bool peak = kind == kv::FomKind::Peak;
    fomEdit_->setText(peak ? QString::number(static_cast<long long>(std::nearbyint(fom))) : fixed(fom));
}

bool TFocusPanel::FieldMedian() const { return fieldItem_->isChecked(); }


void TFocusPanel::ResetFomAverage() { fomAverage_.SetCapacity(kv::kFomAverageCapacity); }

void TFocusPanel::RefreshFomCaption() {
    kv::TCameraControl* camera = form_.CameraControl();
    fomOrAvgLabel_->setText(QString::fromStdString(camera != nullptr && camera->ContinuousFocus()
                                                       ? kv::AverageCaption(fomAverage_.Capacity())
                                                       : std::string(kv::kFigureOfMeritCaption)));
}

void TFocusPanel::SetFomKind(int kind) {
    if (kind < 0 || kind > 4) return;
    fomItems_[kind]->setChecked(true);
    fomLabel_->setText(QString::fromLatin1(kv::FomName(kind)));
}

void TFocusPanel::FomItemChosen(int kind) {
    if (kv::TCameraControl* camera = form_.CameraControl()) camera->SetFOMKind(static_cast<kv::FomKind>(kind));
    SetFomKind(kind);
    // The half-flux diameter needs the sky taken off to mean anything.
    if (kind == 4) removeBackground_->setChecked(true);
    ResetFomAverage();
    RefreshFomCaption();
}

void TFocusPanel::ShowPopup(QWidget* from, QPoint pos) { popup_->popup(from->mapToGlobal(pos)); }

// ---------------------------------------------------------------- stretch

void TFocusPanel::FocusStretchRGClick() {
    const bool manual = stretch_->ItemIndex() == StretchManual;
    for (QWidget* w : std::initializer_list<QWidget*>{minTB_, maxTB_, minLabel_, maxLabel_}) w->setEnabled(manual);
    ApplyFocusStretch();
}

void TFocusPanel::ResetLevelFilters() {
    minFilter_.Reset(minTB_->value());
    maxFilter_.Reset(maxTB_->value());
}

void TFocusPanel::FocusLevelChanged(QSlider* slider) {
    if (!form_.State().cameraReady) return;
    if (slider == minTB_ && !minFilter_.Accept(slider->value())) return;
    if (slider == maxTB_ && !maxFilter_.Accept(slider->value())) return;
    ApplyFocusStretch();
}

void TFocusPanel::ApplyFocusStretch() {
    kv::TImageObject* image = FocusImage();
    if (image == nullptr) return;
    {
        // A focus frame may be arriving on a camera thread meanwhile.
        std::lock_guard lock(image->Lock());
        kv::WriteProgramLog("Preparing to stretch focus image", kv::LogKind::Trace);
        const int choice = stretch_->ItemIndex();
        image->SetBlack(choice == StretchManual ? minTB_->value() : -1);
        image->SetWhite(choice == StretchManual ? maxTB_->value() : -1);
        image->SetStretchOn(choice == StretchManual || choice == StretchAuto);
        image->SetIsUpdated(false);
        PutFocusImage();
    }
    kv::TCameraControl* camera = form_.CameraControl();
    if (form_.State().starSelected && camera->ROIOn()) form_.DrawRoi();
}

// ---------------------------------------------------------------- pointer

void TFocusPanel::FocusPointerMoved(QPoint pos) {
    if (form_.PageControl()->currentIndex() != TPageContext::ManualFocus) return;
    kv::TImageObject* image = FocusImage();
    if (image == nullptr) return;
    if (magnification_->value() != 1) {
        focusDisplay_->setCursor(Qt::ForbiddenCursor);
        form_.SetStatusPanel(1, Q(kv::MagnifiedText()));
        zoom_->setWindowTitle(QStringLiteral("Zoom"));
        return;
    }
    focusDisplay_->setCursor(Qt::CrossCursor);
    const int x = pos.x();
    const int y = pos.y();
    const bool inside = x >= 0 && y >= 0 && x < image->Width() && y < image->Height();
    const QString text = Q(kv::PointerText(x, y, inside ? image->Pixel(x, y) : 0, false));
    form_.SetStatusPanel(1, text);
    zoom_->setWindowTitle(QStringLiteral("Zoom  ") + text);
}

void TFocusPanel::PointerLeftFocusDisplay() {
    if (form_.PageControl()->currentIndex() != TPageContext::ManualFocus) return;
    form_.SetStatusPanel(1, QString());
    zoom_->setWindowTitle(QStringLiteral("Zoom"));
}

bool TFocusPanel::eventFilter(QObject* watched, QEvent* event) {
    // Off the focus frame (onto the rest of the panel or the page) its texts go.
    if (watched == focusDisplay_ && event->type() == QEvent::Leave) PointerLeftFocusDisplay();
    return QFrame::eventFilter(watched, event);
}
