#include "platform/linux/x11_window_state.h"

#include <QGuiApplication>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vornix::linux_platform {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

} // namespace

void keepOffTaskbars(QWindow& window) {
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    const char* names[] = {"_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR",
                           "_NET_WM_STATE_SKIP_PAGER"};
    xcb_intern_atom_cookie_t cookies[std::size(names)];
    for (std::size_t i = 0; i < std::size(names); ++i)
        cookies[i] =
            xcb_intern_atom(connection, 0, static_cast<uint16_t>(strlen(names[i])), names[i]);
    xcb_atom_t atoms[std::size(names)];
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const ReplyPtr<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(connection, cookies[i], nullptr));
        if (!reply)
            return;
        atoms[i] = reply->atom;
    }

    const auto id = static_cast<xcb_window_t>(window.winId());
    const ReplyPtr<xcb_get_property_reply_t> current(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, id, atoms[0], XCB_ATOM_ATOM, 0, 64), nullptr));
    std::vector<xcb_atom_t> states;
    if (current && current->format == 32) {
        const auto* held = static_cast<const xcb_atom_t*>(xcb_get_property_value(current.get()));
        states.assign(held, held + xcb_get_property_value_length(current.get()) / 4);
    }
    for (xcb_atom_t wanted : {atoms[1], atoms[2]})
        if (std::find(states.begin(), states.end(), wanted) == states.end())
            states.push_back(wanted);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atoms[0], XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(states.size()), states.data());
    xcb_flush(connection);
}

} // namespace vornix::linux_platform
