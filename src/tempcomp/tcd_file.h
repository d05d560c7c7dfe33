// Calibration data files (.tcd): text lines ending in CR LF. Lines starting
// with ';' are comments; every other line is one list row:
//   <checked>,<Position>,<Temp>,<Time>,<Date>
// The column texts are kept as written; they are converted only when a data
// point is taken from the row, so a file from a system with other date or
// number formats still loads.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "shell/ini_file.h"
#include "tempcomp/tc_texts.h"

namespace kv {

// One row of the calibration list as it stands: check mark and column texts.
struct TCRow {
    bool checked = false;
    std::string position;
    std::string temp;
    std::string time;
    std::string date;
    friend bool operator==(const TCRow&, const TCRow&) = default;
};

inline constexpr const char* kTcdFilter = "Temp Compensation Data (*.tcd)|*.tcd|All Files (*.*)|*.*";
inline constexpr const char* kTcdDefaultExt = "*.tcd";
// The last field of a line may be at most this long.
inline constexpr std::size_t kTcdMaxLastField = 255;
// Larger files are refused rather than read into memory.
inline constexpr std::size_t kTcdMaxFileBytes = 16u << 20;

struct TcdReadResult {
    std::vector<TCRow> rows;  // every row read before any error
    std::string error;        // empty when the whole text was read
    bool ok() const { return error.empty(); }
};

// Reads file text. Any byte sequence is accepted as input: a line whose check
// field is not an integer ends the reading with an error naming the line, and
// the rows before it are kept. Empty lines are skipped. Line ends may be
// CR LF, LF or CR.
TcdReadResult ParseTcd(std::string_view text);
TcdReadResult ReadTcdFile(const std::string& path);

// The file text: "; " + the date and time of saving, "; " + comment, ";",
// then one line per row, every line ending in CR LF.
std::string FormatTcd(const std::vector<TCRow>& rows, std::string_view comment, std::string_view savedAt);
std::string TcdSavedAtText(std::chrono::system_clock::time_point t, const TCLocale& locale);
// Replaces `path` atomically: on failure the previous file is untouched and
// the message says why.
WriteResult WriteTcdFile(const std::string& path, const std::vector<TCRow>& rows, std::string_view comment,
                         std::string_view savedAt);

}  // namespace kv
