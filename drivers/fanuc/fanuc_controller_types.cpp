#include "orvane/drivers/fanuc/fanuc_controller_types.hpp"

#include <cctype>
#include <charconv>

namespace orvane::drivers {

std::string ArmConfiguration::to_string() const {
    std::string text;
    text += flip ? 'F' : 'N';
    text += up ? " U" : " D";
    text += front ? " T" : " B";
    if (left) text += " L";
    for (const int turn : {turn4, turn5, turn6}) text += ", " + std::to_string(turn);
    return text;
}

std::optional<ArmConfiguration> ArmConfiguration::parse(std::string_view text) {
    ArmConfiguration configuration;
    // Each letter pair must be given once; "L"/"R" may be left out.
    bool flip_seen = false, up_seen = false, front_seen = false, left_seen = false;
    std::size_t at = 0;
    auto skip_space = [&] {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    };
    auto take_letter = [&](bool& seen, bool& field, bool value) {
        if (seen) return false;
        seen = true;
        field = value;
        return true;
    };
    for (skip_space(); at < text.size() && std::isalpha(static_cast<unsigned char>(text[at])); skip_space()) {
        bool fresh = false;
        switch (std::toupper(static_cast<unsigned char>(text[at]))) {
            case 'F': fresh = take_letter(flip_seen, configuration.flip, true); break;
            case 'N': fresh = take_letter(flip_seen, configuration.flip, false); break;
            case 'U': fresh = take_letter(up_seen, configuration.up, true); break;
            case 'D': fresh = take_letter(up_seen, configuration.up, false); break;
            case 'T': fresh = take_letter(front_seen, configuration.front, true); break;
            case 'B': fresh = take_letter(front_seen, configuration.front, false); break;
            case 'L': fresh = take_letter(left_seen, configuration.left, true); break;
            case 'R': fresh = take_letter(left_seen, configuration.left, false); break;
            default: return std::nullopt;
        }
        if (!fresh) return std::nullopt;
        ++at;
    }
    if (!flip_seen || !up_seen || !front_seen) return std::nullopt;

    int* turns[] = {&configuration.turn4, &configuration.turn5, &configuration.turn6};
    for (int* turn : turns) {
        skip_space();
        if (at == text.size()) break;
        if (text[at] != ',') return std::nullopt;
        ++at;
        skip_space();
        const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), *turn);
        if (error != std::errc() || *turn < -128 || *turn > 127) return std::nullopt;
        at = static_cast<std::size_t>(end - text.data());
    }
    skip_space();
    if (at != text.size()) return std::nullopt;
    return configuration;
}

}  // namespace orvane::drivers
