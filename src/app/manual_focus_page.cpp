#include "app/manual_focus_page.h"

#include "app/main_form.h"

TManualFocusPage::TManualFocusPage(TMainForm& form, QWidget* parent) : QWidget(parent), form_(form) {
    setObjectName(QStringLiteral("ManualFocus"));
}

void TManualFocusPage::AttachFocuser(kv::TFocusControl*) {}
