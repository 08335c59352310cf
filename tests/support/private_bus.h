#pragma once

#include <string>
#include <sys/types.h>

namespace vornix::testing {

/// A dbus-daemon of the test's own (session or system configuration), stopped on destruction.
/// `available()` is false, with `whyNot()` saying why, where the machine cannot run one.
class PrivateBus {
public:
    enum class Kind { session, system };
    explicit PrivateBus(Kind kind = Kind::session);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool available() const { return !address_.empty(); }
    const std::string& whyNot() const { return whyNot_; }
    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }

private:
    std::string address_;
    std::string whyNot_;
    std::string configDir_;
    pid_t pid_ = -1;
};

} // namespace vornix::testing
