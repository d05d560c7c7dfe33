// The focuser service's state file: the absolute position of a focuser that
// only counts pulses, and whether the last move ended cleanly.
//
// The file is a few "key=value" lines, numbers written in the "C" form
// whatever the locale, and is replaced atomically (a temporary file beside
// it, synced, then renamed), so a crash leaves either the old or the new
// state, never a torn one. Before each move the service writes the move's
// start with "clean=0"; after it ends, where it stands with "clean=1". A file
// left at "clean=0" means the program did not see the move end: the position
// is where it was, give or take the move, and is reported as uncertain.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv {

struct PositionState {
    std::int32_t position = 0;
    bool clean = true;
    std::string device;  // the device and model it was counted on
    std::string model;
    friend bool operator==(const PositionState&, const PositionState&) = default;
};

struct StoreResult {
    bool ok = true;
    std::string error;  // names the file and what went wrong
};

class PositionStore {
public:
    PositionStore() = default;
    explicit PositionStore(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }
    // nullopt when there is no file (or no path); `error` is set when a file
    // is there but does not read (the position is then uncertain).
    std::optional<PositionState> Load(std::string* error = nullptr) const;
    StoreResult Save(const PositionState& state) const;

private:
    std::string path_;
};

// Positions a state file may hold: the range the service promises
// (kServiceMaxPosition). A number beyond it was not counted by this program,
// and a file holding one reads as damaged.
inline constexpr std::int32_t kStoredPositionLimit = 1'000'000'000;

std::string FormatPositionState(const PositionState& state);
std::optional<PositionState> ParsePositionState(const std::string& text);

// A device path as a file-name part: letters, digits, '.', '-' and '_' stay,
// runs of anything else become one '_', leading and trailing '_' go
// ("/dev/ttyUSB0" -> "dev_ttyUSB0", "sim:hub" -> "sim_hub"). Never empty.
std::string SanitisedDevice(const std::string& device);

// The one state file of the focuser on `device`, whichever face opens it (the
// INDI driver and the Alpaca server count the same hub, so they must keep one
// position): $XDG_STATE_HOME/kessivane/focuser-<device>.state, or
// ~/.local/state/... when the variable is unset or not absolute (as the
// base-directory rules say); empty when there is no home either (nothing is
// then kept). The device is keyed as it is named: a stable name
// (/dev/serial/by-id/...) keeps its file when the kernel's numbering changes.
std::string FocuserStatePath(const std::string& device, const char* xdgStateHome, const char* home);

}  // namespace kv
