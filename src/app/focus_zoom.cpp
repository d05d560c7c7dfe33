#include "app/focus_zoom.h"

#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QVBoxLayout>

TFocusZoom::TFocusZoom(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint), image1_(new TPictureView) {
    setObjectName(QStringLiteral("FocusZoom"));
    setWindowTitle(QStringLiteral("Zoom"));
    // Closing only hides it: the main window shows it again on the next
    // double-click, and it must never end the program.
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    QPalette black = panel->palette();
    black.setColor(QPalette::Window, Qt::black);
    panel->setPalette(black);
    panel->setAutoFillBackground(true);

    image1_->setObjectName(QStringLiteral("Image1"));
    image1_->SetStretch(true);
    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->addWidget(image1_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(panel);

    resize(kClientSize);
    connect(image1_, &TPictureView::doubleClicked, this, [this] { resize(kSmallClientSize); });
}

void TFocusZoom::showEvent(QShowEvent* event) {
    // Centred once; after that it opens where the user left it.
    if (!placed_) {
        placed_ = true;
        QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
        if (s != nullptr) {
            QRect frame = frameGeometry();
            frame.moveCenter(s->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(event);
}
