#include "engine/idle_inhibition.h"

#include <array>

namespace vornix {

// lupdate collects the labels by this macro's name; the layer itself stays free of Qt.
#define QT_TRANSLATE_NOOP(context, text) text

IdleInhibition::IdleInhibition(IdleInhibitor& inhibitor, IdleInhibitor::Handler changed)
    : inhibitor_(inhibitor), changed_(std::move(changed)) {}

IdleInhibition::~IdleInhibition() {
    release();
}

void IdleInhibition::acquire() {
    if (isWanted_)
        return;
    isWanted_ = true;
    inhibitor_.inhibit(reason, changed_);
}

void IdleInhibition::release() {
    if (!isWanted_)
        return;
    isWanted_ = false;
    inhibitor_.release();
}

namespace {

// In the order of InhibitionService: the name for scripts, the label for people.
constexpr std::array<std::array<std::string_view, 2>, 4> services{{
    {"gnomeSession", QT_TRANSLATE_NOOP("vornix::IdleInhibition", "GNOME session")},
    {"powerManagement", QT_TRANSLATE_NOOP("vornix::IdleInhibition", "power manager")},
    {"desktopPortal", QT_TRANSLATE_NOOP("vornix::IdleInhibition", "desktop portal")},
    {"logind", QT_TRANSLATE_NOOP("vornix::IdleInhibition", "logind")},
}};

// In the order of InhibitionRefusal::Cause; `other` tells the error itself.
constexpr std::array<std::string_view, 3> causes{"no such service", "access denied",
                                                 "no answer in time"};

} // namespace

std::string_view serviceName(InhibitionService service) {
    return services.at(static_cast<std::size_t>(service))[0];
}

std::string_view serviceLabel(InhibitionService service) {
    return services.at(static_cast<std::size_t>(service))[1];
}

std::string_view assuranceName(InhibitionAssurance assurance) {
    constexpr std::array<std::string_view, 4> names{"none", "partial", "requested", "held"};
    return names.at(static_cast<std::size_t>(assurance));
}

std::string describe(const InhibitionState& state) {
    std::string text;
    const auto add = [&text](std::string_view separator, std::string_view part) {
        text += text.empty() ? "" : separator;
        text += part;
    };
    for (const auto service : state.leftTheBus)
        add(" and ", serviceLabel(service));
    if (!text.empty())
        text += " left the bus";
    for (std::size_t i = 0; i < state.holders.size(); ++i) {
        add(i == 0 ? "; now: " : " and ", serviceLabel(state.holders[i]));
        text += state.holders[i] == InhibitionService::logind ? " idle lock" : "";
        if (i == 0 && state.assurance == InhibitionAssurance::requested)
            text += " (requested)";
        else if (i == 0 && state.assurance == InhibitionAssurance::partial)
            text += " (partial: the desktop may still suspend)";
    }
    if (state.assurance < InhibitionAssurance::requested)
        for (const auto& refusal : state.refusals)
            add("; ", std::string(serviceLabel(refusal.service)) + ": " +
                          (refusal.cause == InhibitionRefusal::Cause::other
                               ? refusal.error
                               : std::string(causes.at(static_cast<std::size_t>(refusal.cause)))));
    return text;
}

} // namespace vornix
