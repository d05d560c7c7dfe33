#include "focusing/focus_zone.h"

#include <cmath>

#include "focusing/critical_focus_zone.h"
#include "platform/c_number.h"

namespace kv {
namespace {

std::optional<double> BoxValue(double value, double max, int decimals) {
    if (!std::isfinite(value)) return std::nullopt;
    const double scale = std::pow(10.0, decimals);
    const double shown = std::round(std::fmin(value, max) * scale) / scale;
    if (!(shown > 0.0)) return std::nullopt;
    return shown;
}

std::optional<double> FileNumber(const IniFile& ini, const std::string& section, const char* key) {
    const std::optional<std::string> raw = ini.Get(section, key);
    if (!raw) return std::nullopt;
    return ParseDoubleC(*raw);
}

// Micrometres as the page and results show them: whole from 10 up.
std::string MicronsText(double microns) {
    return FormatFixedC(microns, microns >= 10.0 ? 0 : 1) + " \u00b5m";
}

}  // namespace

std::optional<double> FocusZoneOptics::CfzMicrons() const {
    return focalRatio ? CriticalFocusZoneMicrons(*focalRatio) : std::nullopt;
}

std::optional<double> FocusZoneOptics::CfzSteps() const {
    const std::optional<double> step = StepMicrons();
    if (!focalRatio || !step) return std::nullopt;
    return CriticalFocusZoneSteps(*focalRatio, *step);
}

std::optional<double> FocalRatioValue(double value) {
    return BoxValue(value, kFocalRatioMax, kFocalRatioDecimals);
}

std::optional<double> StepMicronsValue(double value) {
    return BoxValue(value, kStepMicronsMax, kStepMicronsDecimals);
}

std::optional<double> CatalogueStepMicrons(const IniFile& catalogue, const std::string& model) {
    const std::optional<double> raw = FileNumber(catalogue, model, kStepSizeKey);
    return raw ? StepMicronsValue(*raw) : std::nullopt;
}

FocusZoneOptics ReadFocusZoneOptics(const IniFile& settings, const IniFile& catalogue, const std::string& model) {
    FocusZoneOptics optics;
    if (const auto ratio = FileNumber(settings, kFocusZoneSection, kFocalRatioKey)) optics.focalRatio = FocalRatioValue(*ratio);
    if (const auto step = FileNumber(settings, kFocusZoneSection, kStepSizeKey)) optics.stepMicrons = StepMicronsValue(*step);
    optics.catalogueStepMicrons = CatalogueStepMicrons(catalogue, model);
    return optics;
}

std::string FocusZoneFileValue(std::optional<double> value) { return value ? FormatShortestC(*value) : "0"; }

std::string StepsText(double steps) {
    return FormatFixedC(steps, std::fabs(steps) < 10.0 ? 1 : 0) + " steps";
}

std::string FocusZoneCaption(const FocusZoneOptics& optics) {
    const std::optional<double> microns = optics.CfzMicrons();
    if (!microns) return optics.StepMicrons() ? "CFZ: set the focal ratio" : "CFZ: set the focal ratio and step size";
    const std::optional<double> steps = optics.CfzSteps();
    if (!steps) return "CFZ: " + MicronsText(*microns) + "; set the step size";
    return "CFZ: " + StepsText(*steps) + " (" + MicronsText(*microns) + ")";
}

std::string FocusZoneResultText(std::optional<double> cfzSteps, std::optional<double> errorSteps) {
    std::string text;
    if (cfzSteps) text = "CFZ " + StepsText(*cfzSteps);
    if (errorSteps) {
        if (!text.empty()) text += ", ";
        text += "error about " + StepsText(*errorSteps);
        if (const std::optional<double> zones = ErrorInCfz(*errorSteps, cfzSteps))
            text += " (" + FormatFixedC(*zones, 2) + " CFZ)";
    }
    return text;
}

}  // namespace kv
