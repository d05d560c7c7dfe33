// The optics a whole-field focus run read, on the Auto Focus page: the
// regions' map with each region's best focus against the field's, the
// tilt, curvature and back-focus verdicts beside it, and one line a run in
// the aberration log beside the focus log. Hidden until a run gives a report:
// focusing on one star shows nothing of it.
#pragma once

#include <QGroupBox>
#include <optional>
#include <string>
#include <vector>

#include "focusing/aberration.h"

class QLabel;
class TPageContext;
namespace kv {
class TAberrationMap;
}

class TAberrationPanel : public QGroupBox {
    Q_OBJECT
public:
    TAberrationPanel(TPageContext& form, QWidget* parent);

    // What the last run gave, as shown and logged.
    struct Inspected {
        kv::AberrationReport report;
        std::string time;  // as the log writes it
        std::optional<double> temperatureC;
    };
    // Shows a run's report and logs its line (a measured one only); a log
    // that cannot be written is said on the status bar and in the program
    // log, once until it can be again, and the map shows the run all the same.
    void Show(const kv::AberrationReport& report, std::optional<double> temperatureC);
    const std::optional<Inspected>& Last() const { return last_; }

    kv::TAberrationMap* Map() const { return map_; }
    QLabel* Verdicts() const { return verdicts_; }

    // The aberration log beside the focus log at `focusLogPath`.
    static std::string LogPathBeside(const std::string& focusLogPath);
    // Each region's best focus, row by row from the top-left, in µm outward
    // from the mean of the regions that have one; nullopt for a region without.
    static std::vector<std::optional<double>> RegionOffsets(const kv::AberrationReport& report);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // The wrapped verdicts' whole height for the width they have: the page's
    // grid does not ask a label's height for its width, and would cut the last line.
    void FitVerdicts();

    TPageContext& form_;
    kv::TAberrationMap* map_ = nullptr;
    QLabel* verdicts_ = nullptr;
    std::optional<Inspected> last_;
    bool logFailing_ = false;
};
