// A titled group of radio buttons with one item index, -1 when none is chosen,
// as the settings pages need (a stored index outside the list chooses nothing).
#pragma once

#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>

class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& title, const QStringList& items, int columns, QWidget* parent = nullptr);

    int ItemIndex() const;
    void SetItemIndex(int index);  // -1 or out of range clears every button
    int Count() const { return buttons_->buttons().size(); }
    QStringList Items() const;

signals:
    void itemIndexChanged(int index);

private:
    QButtonGroup* buttons_;
};
