#pragma once

#include <cstdio>

namespace vornix::linux_platform {

/// What a command line asks of the running instance.
enum class ControlCommand { status, statusJson, on, off, events };

/// Carries out `command` against the instance on the session bus, through the interface's
/// generated proxy, printing to `out` (the status, or for `events` one line per event until the
/// instance ends: time, kind, volume and detail, tab-separated) and `err` (one line saying what
/// went wrong). Returns the exit status: 0, or 1 when no instance runs, it did not answer or
/// (for `events`) it ended. Needs a QCoreApplication, whose event loop it runs for `events`.
int runControlCommand(ControlCommand command, std::FILE* out, std::FILE* err);

} // namespace vornix::linux_platform
