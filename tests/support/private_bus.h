#pragma once

#include <string>
#include <sys/types.h>

namespace vornix::testing {

/// A session-type dbus-daemon of the test's own, on which any name may be owned; stopped on
/// destruction. `available()` is false, with `whyNot()` saying why, where none can be started.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool available() const { return !address_.empty(); }
    const std::string& whyNot() const { return whyNot_; }
    const std::string& address() const { return address_; }

private:
    std::string address_;
    std::string whyNot_;
    pid_t pid_ = -1;
};

} // namespace vornix::testing
