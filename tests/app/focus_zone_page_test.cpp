// The critical focus zone on the Auto Focus page: the caption the optics boxes
// give, the file holding them only once changed, and the catalogue's step.
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLabel>


#include "app/auto_focus_page.h"
#include "app_test_support.h"
#include "shell/ini_file.h"
#include "shell/settings_store.h"

namespace {

class FocusZonePage : public kvtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(Open());
        page = window->AutoFocusPage();
        ratio = page->findChild<QDoubleSpinBox*>(QStringLiteral("FocalRatioSE"));
        step = page->findChild<QDoubleSpinBox*>(QStringLiteral("StepSizeSE"));
        ASSERT_TRUE(ratio != nullptr && step != nullptr);
    }
    // The caption with plain spaces (the label keeps figures and units together).
    std::string Caption() const {
        return page->CfzLabel()->text().replace(QChar(0x00a0), QLatin1Char(' ')).toStdString();
    }
    std::string Ini() const { return folder.Read(kv::kSettingsFileName); }

    TAutoFocusPage* page = nullptr;
    QDoubleSpinBox* ratio = nullptr;
    QDoubleSpinBox* step = nullptr;
};

TEST_F(FocusZonePage, TheCaptionFollowsTheBoxesAndTheFileHoldsThemOnlyOnceChanged) {
    // The factory file as it was: nothing written until the user changes a box.
    EXPECT_EQ(Ini(), kv::FactorySettingsText());
    EXPECT_EQ(Caption(), "CFZ: set the focal ratio and step size");
    EXPECT_FALSE(page->SearchOptions().cfzSteps);

    struct Case {
        double ratio, step;
        const char* caption;
        std::optional<double> cfzSteps;
    } const cases[] = {
        {5.0, 3.6, "CFZ: 19 steps (67 \u00b5m)", 67.1 / 3.6},
        {8.0, 0.0, "CFZ: 172 \u00b5m; set the step size", std::nullopt},
        {0.0, 5.0, "CFZ: set the focal ratio", std::nullopt},
        {2.0, 10.0, "CFZ: 1.1 steps (11 \u00b5m)", 10.736 / 10.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        ratio->setValue(c.ratio);
        step->setValue(c.step);
        EXPECT_EQ(Caption(), c.caption);
        const std::optional<double> cfz = page->SearchOptions().cfzSteps;
        ASSERT_EQ(cfz.has_value(), c.cfzSteps.has_value());
        if (cfz) {
            EXPECT_NEAR(*cfz, *c.cfzSteps, 0.05);
        }
    }
    const kv::IniFile ini = kv::IniFile::Load(window->IniPath());
    EXPECT_EQ(ini.Get("AutoFocus", "FocalRatio"), "2");
    EXPECT_EQ(ini.Get("AutoFocus", "StepSize"), "10");
    // The factory keys are where they were: the new ones come after them.
    EXPECT_EQ(Ini().rfind(kv::FactorySettingsText(), 0), 0u);

    // Read back as the window starts.
    ratio->setValue(6.3);
    window->RevertSavedButtonClick();
    EXPECT_DOUBLE_EQ(ratio->value(), 6.3);
    EXPECT_DOUBLE_EQ(step->value(), 10.0);
}

// Typed a key at a time, as a user types: every figure keeps the places
// typed, down to a fine focuser's step, in the box and in the file.
TEST_F(FocusZonePage, ATypedStepKeepsItsPlaces) {
    for (const char* typed : {"3.6", "0.045", "12"}) {
        SCOPED_TRACE(typed);
        step->setFocus();
        step->selectAll();
        for (const QChar c : QString::fromLatin1(typed)) {
            QKeyEvent press(QEvent::KeyPress, c == QLatin1Char('.') ? Qt::Key_Period : Qt::Key_0 + c.digitValue(),
                            Qt::NoModifier, QString(c));
            QApplication::sendEvent(step, &press);
        }
        EXPECT_EQ(step->text(), QString::fromLatin1(typed));
        EXPECT_EQ(kv::IniFile::Load(window->IniPath()).Get("AutoFocus", "StepSize"), typed);
    }
}

// A catalogue entry's step stands in for the user's until the user sets one;
// a step of 0 gives the catalogue's back.
TEST_F(FocusZonePage, TheCataloguesStepIsUsedUntilTheUserSetsOne) {
    std::string catalogue = folder.Read("Focusers.ini");
    const std::size_t section = catalogue.find("[Default]\n");
    ASSERT_NE(section, std::string::npos);
    catalogue.insert(section + std::string("[Default]\n").size(), "StepSize=2.2\n");
    folder.Write("Focusers.ini", catalogue);
    window->RevertSavedButtonClick();

    ratio->setValue(5.0);
    EXPECT_EQ(Caption(), "CFZ: 30 steps (67 \u00b5m)");
    EXPECT_EQ(step->text(), QStringLiteral("(2.2)"));
    step->setValue(3.6);
    EXPECT_EQ(Caption(), "CFZ: 19 steps (67 \u00b5m)");
    step->setValue(0);
    EXPECT_EQ(Caption(), "CFZ: 30 steps (67 \u00b5m)");
    EXPECT_EQ(kv::IniFile::Load(window->IniPath()).Get("AutoFocus", "StepSize"), "0");
}

}  // namespace
