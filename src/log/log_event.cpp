#include "log/log_event.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>

namespace vornix {

std::string_view label(LogEvent::Kind kind) {
    using K = LogEvent::Kind;
    switch (kind) {
    case K::mounted:
        return "Mounted";
    case K::unmountedByUser:
        return "Ejected (user)";
    case K::unexpectedDisconnect:
        return "Unexpected disconnect";
    case K::pingSucceeded:
        return "Keep-alive ping ok";
    case K::pingStalled:
        return "Keep-alive ping stalled";
    case K::pingFailed:
        return "Keep-alive ping failed";
    case K::volumeReadOnly:
        return "Volume read-only";
    case K::volumeFull:
        return "Volume nearly full";
    case K::sleepPreventionStarted:
        return "Sleep prevention started";
    case K::sleepPreventionStopped:
        return "Sleep prevention stopped";
    }
    return "";
}

LogLevel logLevel(LogEvent::Kind kind) {
    using K = LogEvent::Kind;
    switch (kind) {
    case K::unexpectedDisconnect:
    case K::pingStalled:
    case K::pingFailed:
    case K::volumeReadOnly:
    case K::volumeFull:
        return LogLevel::error;
    default:
        return LogLevel::info;
    }
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
