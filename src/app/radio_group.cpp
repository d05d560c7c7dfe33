#include "app/radio_group.h"

#include <QAbstractButton>
#include <QGridLayout>
#include <QRadioButton>

TRadioGroup::TRadioGroup(const QString& title, const QStringList& items, int columns, QWidget* parent)
    : QGroupBox(title, parent), buttons_(new QButtonGroup(this)) {
    auto* grid = new QGridLayout(this);
    // Tight across: a three-column group sized for one screen's font keeps
    // its last caption whole on a scaled desktop, whose text runs wider.
    grid->setContentsMargins(6, 4, 2, 4);
    grid->setHorizontalSpacing(2);
    grid->setVerticalSpacing(2);
    const int cols = columns < 1 ? 1 : columns;
    const int rows = (static_cast<int>(items.size()) + cols - 1) / cols;
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        b->setObjectName(QStringLiteral("%1_%2").arg(title.isEmpty() ? QStringLiteral("item") : title).arg(i));
        buttons_->addButton(b, i);
        // Fill column by column, as a radio group with several columns does.
        grid->addWidget(b, i % rows, i / rows);
    }
    connect(buttons_, &QButtonGroup::idToggled, this, [this](int id, bool on) {
        if (on) emit itemIndexChanged(id);
    });
}

int TRadioGroup::ItemIndex() const { return buttons_->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
    if (index >= 0 && index < Count()) {
        buttons_->button(index)->setChecked(true);
        return;
    }
    // An exclusive group cannot be emptied by unchecking its button.
    buttons_->setExclusive(false);
    for (auto* b : buttons_->buttons()) b->setChecked(false);
    buttons_->setExclusive(true);
}

QStringList TRadioGroup::Items() const {
    QStringList out;
    for (auto* b : buttons_->buttons()) out << b->text();
    return out;
}
