// The position read-out shown over the focusing and temperature pages: the
// position caption and figure, the three lamps, the number of samples per
// focus measurement and the progress of a measurement.
#pragma once

#include <QFrame>

class TMainForm;

class TReadOutPanel : public QFrame {
    Q_OBJECT
public:
    TReadOutPanel(TMainForm& form, QWidget* parent);

private:
    TMainForm& form_;
};
