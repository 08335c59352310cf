#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace vornix {

/// One Vornix per user. The first instance listens on a local socket; a later start tells it
/// to show its panel and leaves.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);

    /// True when this process is the one instance (it then listens); false when another one
    /// answered and was asked to show itself.
    bool claim();

    static QString defaultName();

signals:
    void showRequested();

private:
    QString name_;
    QLocalServer* server_ = nullptr;
};

} // namespace vornix
