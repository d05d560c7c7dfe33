// Builds the settings controls from the settings table and moves values
// between the controls and the settings model. Nothing else in the desktop
// knows a key's range or encoding.
#pragma once

#include <QComboBox>
#include <QString>
#include <QWidget>
#include <span>
#include <string_view>

#include "shell/settings_model.h"

// A combo box that says when its list is about to drop down, so the list can
// be refilled from its file first.
class TDropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override {
        emit dropDown();
        QComboBox::showPopup();
    }
signals:
    void dropDown();
};

namespace settings_ui {

// The control for one key (spin edit, check box, radio group or combo box),
// named after the key's control.
QWidget* CreateControl(const kv::SettingSpec& setting, QWidget* parent);

// The caption shown beside a spin edit or list (check boxes and radio groups
// carry their own).
QString LabelFor(const kv::SettingSpec& setting);

// Sets `text` as the tooltip; a spin box gets its own range appended, e.g.
// "(1-20)", so the tooltip can never disagree with what the box accepts.
void SetToolTip(QWidget* w, const QString& text);
// Brings the appended range up to date after the box's range was changed.
void RefreshToolTipRange(QWidget* w);

// Controls are looked up below `root` by object name.
void ToControls(QWidget* root, const kv::Settings& s);
// Only the controls of the named keys; every other control keeps its value.
void ToControls(QWidget* root, const kv::Settings& s, std::span<const std::string_view> keys);
// Reads every control into a copy of `base`; keys without a control keep the
// value they have in `base`.
kv::Settings FromControls(QWidget* root, const kv::Settings& base);

}  // namespace settings_ui
