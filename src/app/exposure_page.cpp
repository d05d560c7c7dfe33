#include "app/exposure_page.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>

#include "app/main_form.h"
#include "app/radio_group.h"

TExposurePage::TExposurePage(TMainForm& form, QWidget* parent) : QWidget(parent), form_(form) {
    auto* page = this;
    setObjectName(QStringLiteral("ExposureControl"));
    auto* scroll = new QScrollArea(page);
    scroll->setObjectName(QStringLiteral("ImageScrollBox"));
    scroll->setGeometry(6, 6, 540, 400);
    scroll->setBackgroundRole(QPalette::Dark);
    auto* display = new QLabel;
    display->setObjectName(QStringLiteral("ImageDisplay"));
    display->setFixedSize(510, 384);
    display->setStyleSheet(QStringLiteral("background: black; border: 1px inset gray;"));
    scroll->setWidget(display);
    scroll->setAlignment(Qt::AlignCenter);

    auto* get = new QPushButton(QStringLiteral("Get Image"), page);
    get->setObjectName(QStringLiteral("GetImageButton"));
    get->setGeometry(6, 414, 100, 28);
    get->setEnabled(false);
    auto* progress = new QProgressBar(page);
    progress->setObjectName(QStringLiteral("DNProgress"));
    progress->setGeometry(114, 418, 170, 20);
    progress->setRange(0, 100);
    progress->setValue(0);
    progress->setTextVisible(false);

    auto* stretch = new TRadioGroup(QStringLiteral("Image Stretch"), {"None", "Manual", "Auto"}, 3, page);
    stretch->setObjectName(QStringLiteral("ImageStretchRG"));
    stretch->setGeometry(6, 448, 278, 46);
    stretch->SetItemIndex(2);

    const struct {
        const char* name;
        const char* caption;
        int min, max, value;
    } sliders[] = {{"ImageMinTB", "Black", 10, 65535, 100},
                   {"ImageMaxTB", "White", 100, 65535, 65535},
                   {"ImageGammaTB", "Gamma", 1, 30, 10}};
    int y = 414;
    for (const auto& s : sliders) {
        auto* label = new QLabel(QString::fromLatin1(s.caption), page);
        label->setGeometry(296, y, 50, 22);
        auto* tb = new QSlider(Qt::Horizontal, page);
        tb->setObjectName(QString::fromLatin1(s.name));
        tb->setRange(s.min, s.max);
        tb->setValue(s.value);
        tb->setGeometry(346, y, 200, 22);
        tb->setEnabled(false);
        y += 28;
    }
}

void TExposurePage::AttachCamera(kv::TCameraControl*) {}
void TExposurePage::CameraReconfigured(const kv::CameraInfo&) {}
void TExposurePage::SetStarCursor(bool) {}
