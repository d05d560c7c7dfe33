// The settings file "Kessivane.ini": read, write, factory file, window position.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shell/ini_file.h"
#include "shell/settings_model.h"

namespace kv {

inline constexpr const char* kSettingsFileName = "Kessivane.ini";

// The factory file, byte for byte (every line, the last one too, ends in CR LF).
const std::string& FactorySettingsText();

// Fills `s` from the file as the controls would show it: missing keys take their
// missing value, every number is clamped and rounded by its control. A file that
// cannot be read is treated as empty (callers that must tell the user load the
// IniFile themselves and look at LoadError). Left/Top are read only when savePosition.
Settings ReadSettings(const std::string& path);
Settings ReadSettings(const IniFile& ini);

// A reading that also says where the file could not be read: lines that are
// none of section, key or comment, and keys whose value is no value of their
// type. Such a key takes its factory value, and in a file with damaged lines
// so does every absent key (it may have been lost with them).
struct SettingsReading {
    Settings settings;
    std::vector<std::size_t> unreadableLines;  // from 1, ascending
};
SettingsReading ReadSettingsReporting(const IniFile& ini);
// What to tell the user about those lines; empty when there are none.
std::string UnreadableSettingsText(const std::string& path, const std::vector<std::size_t>& lines);

// Writes every written key from `s`, keeping comments, unknown keys and the
// place of existing keys; replaces the file atomically.
WriteResult WriteSettings(const std::string& path, const Settings& s);
void WriteSettings(IniFile& ini, const Settings& s);

// Reads one key as ReadSettings does, but from `section` (the focuser
// catalogue keeps the same keys in one section per model).
void ReadSetting(const IniFile& ini, std::string_view section, const SettingSpec& setting, Settings& s);

WriteResult WriteFactorySettings(const std::string& path);
WriteResult SaveWindowPosition(const std::string& path, int left, int top);

// "Store point after Auto Focus" on the Temp Control page. The key is absent
// from the factory file and from files written by WriteSettings: it appears
// only once the user has changed the option, and absent means off.
inline constexpr const char* kStoreAfterAutoFocusKey = "StorePointAfterAutoFocus";
bool ReadStoreAfterAutoFocus(const IniFile& ini);
WriteResult SaveStoreAfterAutoFocus(const std::string& path, bool on);

// Options added since the factory file was fixed (the Auto Focus page's
// method and curve-fit values): absent until the user changes one, then
// written at once, one key at a time, the rest of the file left alone.
WriteResult SaveSettingValue(const std::string& path, std::string_view section, std::string_view key,
                             std::string_view value);

// "Allow other programs to control the focuser" on the Device/Ports tab: the
// same kind of key, in [Misc]; absent means on (the session bus admits only
// the user's own programs).
inline constexpr const char* kAllowOtherProgramsKey = "AllowOtherPrograms";
// Any usual word for yes or no; a value that does not read is off, and
// ReadSettingsReporting names its line.
bool ReadAllowOtherPrograms(const IniFile& ini);
WriteResult SaveAllowOtherPrograms(const std::string& path, bool on);

// The program log's view on the Status tab, in [Misc]: "Results" or
// "Everything"; absent until the user picks one, and absent means everything.
inline constexpr const char* kProgramLogViewKey = "ProgramLogView";
bool ReadLogResultsOnly(const IniFile& ini);
WriteResult SaveLogResultsOnly(const std::string& path, bool resultsOnly);

// The folder a picture was last saved in, in [Misc]: the next save starts
// there, also after a restart. Absent until the user first saves one.
inline constexpr const char* kPictureFolderKey = "PictureFolder";

}  // namespace kv
