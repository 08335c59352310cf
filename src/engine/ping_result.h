#pragma once

#include <string>
#include <utility>

namespace vornix {

/// The outcome of one write of the ping file.
struct PingResult {
    enum class Kind {
        success,    // the timestamp was written and flushed to the medium
        readOnly,   // the file system refused the write as read-only
        volumeGone, // the volume is no longer mounted where it was
        full,       // too little free space to write: nothing was written
        failure,    // anything else; `message` says why: the system's error text, or what
                    // stands at the ping path instead of a file of our own
    };

    Kind kind = Kind::success;
    std::string message{};

    static PingResult success() { return {Kind::success, {}}; }
    static PingResult readOnly() { return {Kind::readOnly, {}}; }
    static PingResult volumeGone() { return {Kind::volumeGone, {}}; }
    static PingResult full() { return {Kind::full, {}}; }
    static PingResult failure(std::string message) { return {Kind::failure, std::move(message)}; }

    bool operator==(const PingResult&) const = default;
};

} // namespace vornix
