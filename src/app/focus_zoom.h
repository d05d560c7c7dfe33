// The zoom window: the focus frame again, stretched to a window of its own
// that the user can place beside the eyepiece view and size freely.
#pragma once

#include <QSize>
#include <QWidget>

#include "app/picture_view.h"

class TFocusZoom : public QWidget {
    Q_OBJECT
public:
    explicit TFocusZoom(QWidget* parent = nullptr);

    TPictureView* Image1() const { return image1_; }

    // The client area the window opens with: what the 210 x 229 outside size
    // leaves inside a classic frame (4-pixel borders, 19-pixel caption). A
    // Linux window manager adds its own frame around it.
    static constexpr QSize kClientSize{202, 202};
    // The client area a double-click on the picture sets.
    static constexpr QSize kSmallClientSize{102, 102};

protected:
    void showEvent(QShowEvent* event) override;

private:
    TPictureView* image1_;
    bool placed_ = false;
};
