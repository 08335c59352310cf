#pragma once

#include <QObject>
#include <QString>

#include <map>
#include <memory>

class QSocketNotifier;

namespace vornix {

/// One Vornix per user. The first instance listens on a local socket; a later start tells it
/// to show its panel and leaves.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);
    ~SingleInstance() override;

    /// True when this process is the one instance (it then listens); false when another one
    /// answered and was asked to show itself.
    bool claim();

    static QString defaultName();

signals:
    void showRequested();

private:
    // A socket and what watches it; closing is owning.
    struct Watched {
        int fd;
        std::unique_ptr<QSocketNotifier> notifier;
        ~Watched();
    };
    void accept();

    QString name_;
    std::unique_ptr<Watched> listener_;
    std::map<int, std::unique_ptr<Watched>> callers_;
};

} // namespace vornix
