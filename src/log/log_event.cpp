#include "log/log_event.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>

namespace vornix {

// lupdate collects the labels by this macro's name; the layer itself stays free of Qt.
#define QT_TRANSLATE_NOOP(context, text) text

namespace {
std::atomic<TextTranslator> installedTranslator{nullptr};
}

void setTextTranslator(TextTranslator translator) {
    installedTranslator = translator;
}

std::string userText(const char* context, const char* sourceText,
                     std::initializer_list<std::string_view> arguments) {
    const TextTranslator translate = installedTranslator;
    const std::string text = translate ? translate(context, sourceText) : sourceText;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t n =
            i + 1 < text.size() ? static_cast<std::size_t>(text[i + 1] - '1') : arguments.size();
        if (text[i] == '%' && n < arguments.size() && n < 9) {
            out += arguments.begin()[n];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

const KindTraits& traits(LogEvent::Kind kind) {
    using L = LogLevel;
    using T = Tone;
    // In the order of LogEvent::Kind.
    static const std::array<KindTraits, 20> table{{
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Mounted"), L::info, T::ok},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Ejected (user)"), L::info, T::ok},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Unexpected disconnect"), L::error, T::error},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Keep-alive ping ok"), L::info, T::ok},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Keep-alive ping stalled"), L::error, T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Keep-alive ping failed"), L::error, T::error},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Volume read-only"), L::error, T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Volume nearly full"), L::error, T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Sleep prevention started"), L::info, T::ok},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Sleep prevention stopped"), L::info, T::ok},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Settings not saved"), L::error, T::error},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Drive monitoring unavailable"), L::error, T::error},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Notifications unavailable"), L::warning,
         T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Launch at Login not changed"), L::error, T::error},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Ping interval raised"), L::info, T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Sleep prevention unavailable"), L::warning,
         T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Sleep prevention lost"), L::warning, T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Ping not reaching the drive"), L::warning,
         T::warning},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Drive fell asleep"), L::error, T::error},
        {QT_TRANSLATE_NOOP("vornix::LogEvent", "Drive reports failure"), L::error, T::error},
    }};
    return table.at(static_cast<std::size_t>(kind));
}

namespace {

/// The visible stand-in for a code point that must not act on the text around it, or none.
std::optional<std::string> standIn(char32_t c) {
    if (c < 0x20 || c == 0x7F) // the control pictures, U+2400 to U+2421
        return std::string{'\xE2', '\x90', static_cast<char>(0x80 + (c == 0x7F ? 0x21 : c))};
    switch (c) {
    case 0x061C:
        return "<ALM>";
    case 0x200E:
        return "<LRM>";
    case 0x200F:
        return "<RLM>";
    case 0x2028:
    case 0x2029:
        return "\u2424"; // a line or paragraph break
    case 0x202A:
        return "<LRE>";
    case 0x202B:
        return "<RLE>";
    case 0x202C:
        return "<PDF>";
    case 0x202D:
        return "<LRO>";
    case 0x202E:
        return "<RLO>";
    case 0x2066:
        return "<LRI>";
    case 0x2067:
        return "<RLI>";
    case 0x2068:
        return "<FSI>";
    case 0x2069:
        return "<PDI>";
    default:
        break;
    }
    if (c >= 0x80 && c <= 0x9F)
        return "\uFFFD"; // C1 controls have no pictures of their own
    return std::nullopt;
}

/// Length of the UTF-8 sequence at `s`, and its code point; 0 when it is not valid UTF-8.
std::size_t decode(std::string_view s, char32_t& c) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    std::size_t n = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (n == 0 || n > s.size())
        return 0;
    c = n == 1 ? lead : lead & (0x7F >> n);
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (b(i) & 0x3F);
    }
    return n;
}

} // namespace

std::string displayName(std::string_view name, std::size_t maxCharacters) {
    std::string out = "\u2068";
    out.reserve(std::min(name.size(), maxCharacters) + 8);
    for (std::size_t kept = 0; !name.empty(); ++kept) {
        if (kept == maxCharacters) {
            out += "\u2026";
            break;
        }
        char32_t c = 0;
        std::size_t n = decode(name, c);
        if (n == 0) {
            n = 1;
            out += name.front();
        } else if (auto visible = standIn(c)) {
            out += *visible;
        } else {
            out += name.substr(0, n);
        }
        name.remove_prefix(n);
    }
    out += "\u2069";
    return out;
}

std::string makeUuid() {
    thread_local std::mt19937_64 engine{[] {
        std::random_device device;
        std::seed_seq seq{device(), device(), device(), device()};
        return std::mt19937_64(seq);
    }()};
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const std::uint64_t word = engine();
        for (std::size_t j = 0; j < 8; ++j)
            bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

} // namespace vornix
