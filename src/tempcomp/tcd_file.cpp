#include "tempcomp/tcd_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv {

namespace {

// The next field of a row line: up to the next comma, trimmed; with no comma
// left, the rest of the line as it stands, cut to kTcdMaxLastField bytes
// (never inside a UTF-8 sequence).
std::string NextField(std::string_view& rest, bool& exhausted) {
    if (exhausted) return {};
    const auto comma = rest.find(',');
    if (comma != std::string_view::npos) {
        std::string field(TrimText(rest.substr(0, comma)));
        rest.remove_prefix(comma + 1);
        return field;
    }
    exhausted = true;
    std::string_view last = rest;
    if (last.size() > kTcdMaxLastField) {
        std::size_t cut = kTcdMaxLastField;
        while (cut > 0 && (static_cast<unsigned char>(last[cut]) & 0xC0) == 0x80) --cut;
        last = last.substr(0, cut);
    }
    rest = {};
    return std::string(last);
}

std::string ErrnoText(int err) { return std::strerror(err); }

// A text that cannot break its line, so every row stays one line.
std::string_view OneLine(std::string_view text, std::string& scratch) {
    if (text.find_first_of("\r\n") == std::string_view::npos) return text;
    scratch.assign(text);
    for (char& c : scratch) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return scratch;
}

// A field quoted in a message: a file that is not text at all must not put
// control bytes or broken characters on the screen, nor a whole line of them.
// Printable ASCII and whole UTF-8 characters stay; anything else becomes '?'.
std::string Printable(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string out;
    std::size_t shown = 0;
    std::size_t i = 0;
    while (i < text.size() && shown < kShown) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        bool whole = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; whole && k < length; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (length == 1) whole = c >= 0x20 && c < 0x7F;
        // C1 controls (U+0080..U+009F) and overlong two-byte forms are no text either.
        if (whole && length == 2) whole = c >= 0xC2 && !(c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (whole) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += '?';
            ++i;
        }
        ++shown;
    }
    if (i < text.size()) out += "...";
    return out;
}

}  // namespace

TcdReadResult ParseTcd(std::string_view text) {
    TcdReadResult result;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        if (end == std::string_view::npos) {
            text = {};
        } else {
            const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
            text.remove_prefix(end + (crlf ? 2 : 1));
        }
        ++lineNo;
        if (line.empty() || line.front() == ';') continue;

        std::string_view rest = line;
        bool exhausted = false;
        const std::string flag = NextField(rest, exhausted);
        const auto checked = ParseInteger(flag);
        if (!checked) {
            result.error = "Line " + std::to_string(lineNo) + ": " + NotAnIntegerText(Printable(flag));
            return result;
        }
        TCRow row;
        row.checked = *checked != 0;
        row.position = NextField(rest, exhausted);
        row.temp = NextField(rest, exhausted);
        row.time = NextField(rest, exhausted);
        row.date = NextField(rest, exhausted);
        result.rows.push_back(std::move(row));
    }
    return result;
}

TcdReadResult ReadTcdFile(const std::string& path) {
    TcdReadResult result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = "Cannot open file \"" + path + "\": " + ErrnoText(errno);
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        result.error = "Cannot open file \"" + path + "\": not a regular file";
        return result;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            result.error = "Cannot read file \"" + path + "\": " + ErrnoText(err);
            return result;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kTcdMaxFileBytes) {
            ::close(fd);
            result.error = "Cannot read file \"" + path + "\": it is larger than " +
                           std::to_string(kTcdMaxFileBytes >> 20) + " MB";
            return result;
        }
    }
    ::close(fd);
    result = ParseTcd(bytes);
    if (!result.ok()) result.error = "Cannot load file \"" + path + "\": " + result.error;
    return result;
}

std::string FormatTcd(const std::vector<TCRow>& rows, std::string_view comment, std::string_view savedAt) {
    std::string out;
    std::string scratch;
    out.append("; ").append(OneLine(savedAt, scratch)).append("\r\n");
    out.append("; ").append(OneLine(comment, scratch)).append("\r\n");
    out.append(";\r\n");
    for (const TCRow& row : rows) {
        out.append(row.checked ? "1," : "0,");
        out.append(OneLine(row.position, scratch)).append(",");
        out.append(OneLine(row.temp, scratch)).append(",");
        out.append(OneLine(row.time, scratch)).append(",");
        out.append(OneLine(row.date, scratch)).append("\r\n");
    }
    return out;
}

std::string TcdSavedAtText(std::chrono::system_clock::time_point t, const TCLocale& locale) {
    return FormatShortDate(t, locale) + " " + FormatLongTime(t, locale);
}

WriteResult WriteTcdFile(const std::string& path, const std::vector<TCRow>& rows, std::string_view comment,
                         std::string_view savedAt) {
    return WriteFileAtomically(path, FormatTcd(rows, comment, savedAt), "calibration file");
}

}  // namespace kv
