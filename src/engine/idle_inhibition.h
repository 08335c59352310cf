#pragma once

#include "engine/idle_inhibitor.h"

#include <string>

namespace vornix {

/// Keeps the machine from idle sleep while keeping drives awake is on, by wanting at most one
/// idle inhibition at a time. What holds it comes back later, as states; nothing holding is not
/// an error: keeping drives awake goes on without it. Main thread only.
class IdleInhibition {
public:
    static constexpr const char* reason = "Vornix is keeping external drives awake";

    /// `changed` receives each state the inhibitor reports while the inhibition is wanted.
    IdleInhibition(IdleInhibitor& inhibitor, IdleInhibitor::Handler changed);
    /// Gives back what is held or asked for.
    ~IdleInhibition();
    IdleInhibition(const IdleInhibition&) = delete;
    IdleInhibition& operator=(const IdleInhibition&) = delete;

    /// Starts taking the inhibition unless it is wanted already.
    void acquire();
    /// Gives it back, or stops asking for it, if it is wanted.
    void release();

    bool isWanted() const { return isWanted_; }

private:
    IdleInhibitor& inhibitor_;
    IdleInhibitor::Handler changed_;
    bool isWanted_ = false;
};

/// A service as users know it: "GNOME session", "power manager", "desktop portal", "logind".
/// Untranslated; the panel translates it in the "vornix::IdleInhibition" context.
std::string_view serviceLabel(InhibitionService service);

/// Who holds the inhibition and how sure that is, and, while nothing or only part of it holds,
/// each refusing service's reason: "GNOME session", "desktop portal (requested) and logind idle
/// lock", "logind idle lock (partial: the desktop may still suspend); GNOME session: no such
/// service; …"; first, which holders left the bus: "GNOME session left the bus; now: power
/// manager". Untranslated, as the activity log and the journal keep it.
std::string describe(const InhibitionState& state);

} // namespace vornix
