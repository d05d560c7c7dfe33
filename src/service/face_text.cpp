#include "service/face_text.h"

#include <regex>
#include <string_view>
#include <utility>

namespace kv {

namespace {

// Every match of `pattern` becomes `literal`: a device path may hold '$'.
std::string ReplaceAll(const std::string& text, const std::regex& pattern, const std::string& literal) {
    std::string out;
    auto last = text.cbegin();
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) {
        out.append(last, (*m)[0].first);
        out += literal;
        last = (*m)[0].second;
    }
    out.append(last, text.cend());
    return out;
}

}  // namespace

std::string FaceText(const std::string& engineText, const std::string& device, std::int32_t position,
                     const FaceWords& words) {
    // "COM1 (/dev/ttyUSB0)" or a bare "COM1".
    static const std::regex kPort(R"(\bCOM[0-9]+( \([^)]*\))?)");
    static const std::regex kCount(R"(stayed at position -?[0-9]+)");
    const std::pair<std::string_view, const std::string&> settings[] = {
        {"for a hub focuser also check \"High Resolution Positioning\" against the encoder, and the motor timing "
         "settings.",
         words.checkModel},
        {"If it is wired the other way round, tick \"Reverse Focuser Direction\"; if that is ticked, untick it.",
         words.reverseMotor},
    };
    std::string text = ReplaceAll(engineText, kPort, device);
    text = ReplaceAll(text, kCount, "stayed at position " + std::to_string(position));
    for (const auto& [desktop, face] : settings) {
        if (const auto at = text.find(desktop); at != std::string::npos) text.replace(at, desktop.size(), face);
    }
    return text;
}

}  // namespace kv
