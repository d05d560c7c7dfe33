// The focuser catalogue "Focusers.ini": the models the user can choose, the motor
// timing values that suit each, and the controller kind its name implies.
// The program only reads this file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shell/ini_file.h"
#include "shell/settings_model.h"

namespace kv {

inline constexpr const char* kCatalogueFileName = "Focusers.ini";
inline constexpr const char* kCatalogueModelsSection = "Focusers";

// Asked before a chosen model overwrites the focuser controls.
inline constexpr const char* kFocuserChangeQuestion =
    "     Focuser parameters are about to be changed.\r\n"
    "       Do you wish to change these parameters?\r\n"
    "\r\n"
    "You must click Update Parameters for this take effect!        ";

// The catalogue keys a model section may hold, in the order they are applied.
inline constexpr std::string_view kCatalogueKeys[] = {
    "NudgeTime", "CloseNudgeTime", "NudgeDelay", "BackLashValue", "StopFactor",
    "CodesPerRev", "TravelPerRev", "ReverseDirection", "HiResPositioning", "SBIGInterlock",
};

// Model names: the keys of [Focusers], sorted without regard to case, each once.
// Empty when the file is missing or unreadable.
std::vector<std::string> CatalogueModelNames(const std::string& path);
std::vector<std::string> CatalogueModelNames(const IniFile& catalogue);

// Sets the ten focuser values of `s` from the model's section. A value the
// section lacks (or a model without a section, or a missing file) takes its
// missing value; every value is clamped like its settings control.
void ApplyCatalogueModel(const std::string& path, const std::string& name, Settings& s);
void ApplyCatalogueModel(const IniFile& catalogue, const std::string& name, Settings& s);

// Whether the focuser parameters group shows after choosing `name`: the last of
// the rules (JMI/DEFAULT/MEADE shown, ROBO/VANSLYKE hidden, OPTEC hidden) that
// matches the upper-cased name decides; a name matching none keeps `current`.
bool FocuserParametersGroupVisible(const std::string& name, bool current);

enum class FocuserKind { Unknown, JMI, RoboFocus, Optec, Indi };

// The controller kind a model name implies: Indi when the upper-cased name
// contains INDI, else the first of the words JMI, MEADE, DEFAULT, ROBO,
// VANSLYKE, OPTEC (in that order) found in it.
FocuserKind FocuserKindFromName(const std::string& name);

}  // namespace kv
