#include "engine/idle_inhibition.h"

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

std::string_view serviceName(InhibitionService service) {
    switch (service) {
    case InhibitionService::gnomeSession:
        return "gnomeSession";
    case InhibitionService::powerManagement:
        return "powerManagement";
    case InhibitionService::desktopPortal:
        return "desktopPortal";
    case InhibitionService::logind:
        return "logind";
    }
    return {};
}

std::string_view assuranceName(InhibitionAssurance assurance) {
    switch (assurance) {
    case InhibitionAssurance::none:
        return "none";
    case InhibitionAssurance::partial:
        return "partial";
    case InhibitionAssurance::requested:
        return "requested";
    case InhibitionAssurance::held:
        return "held";
    }
    return {};
}

std::string_view serviceLabel(InhibitionService service) {
    switch (service) {
    case InhibitionService::gnomeSession:
        return QT_TRANSLATE_NOOP("vornix::IdleInhibition", "GNOME session");
    case InhibitionService::powerManagement:
        return QT_TRANSLATE_NOOP("vornix::IdleInhibition", "power manager");
    case InhibitionService::desktopPortal:
        return QT_TRANSLATE_NOOP("vornix::IdleInhibition", "desktop portal");
    case InhibitionService::logind:
        return QT_TRANSLATE_NOOP("vornix::IdleInhibition", "logind");
    }
    return {};
}

namespace {

std::string causeText(const InhibitionRefusal& refusal) {
    using Cause = InhibitionRefusal::Cause;
    switch (refusal.cause) {
    case Cause::noService:
        return "no such service";
    case Cause::accessDenied:
        return "access denied";
    case Cause::timeout:
        return "no answer in time";
    case Cause::other:
        break;
    }
    return refusal.error;
}

} // namespace

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
            add("; ", std::string(serviceLabel(refusal.service)) + ": " + causeText(refusal));
    return text;
}

} // namespace vornix
