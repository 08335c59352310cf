#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

namespace vornix::linux_platform {

/// Turns SIGTERM, SIGINT and SIGHUP (the end of the desktop session, a kill, a closed
/// terminal) into a `received` signal on the main thread, so the program ends in order.
class UnixSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

Q_SIGNALS:
    void received(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace vornix::linux_platform
