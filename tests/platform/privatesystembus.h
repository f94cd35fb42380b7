#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

class QProcess;

// A private dbus-daemon that stands in for the system bus, and fake system services on it.
// start() points DBUS_SYSTEM_BUS_ADDRESS at it, so it must run before the process first
// touches QDBusConnection::systemBus(). Every process it starts is stopped by its destructor.
class PrivateSystemBus
{
public:
    PrivateSystemBus();
    ~PrivateSystemBus();

    bool start();
    QDBusConnection connection() const;
    QString directory() const;

    // Runs python3 with the arguments and waits until it owns busName; null on failure.
    QProcess *startService(const QString &busName, const QStringList &pythonArguments);
    void stopService(QProcess *service);

    // dbusmock stand-ins. An empty logFile means no call log.
    QProcess *startHostnamed(const QVariantMap &properties, const QString &logFile = QString());
    bool updateHostnamed(const QVariantMap &properties);
    QProcess *startModemManager(const QMap<QString, QString> &imeiByModemPath);
    // One org.bluez.Adapter1 per (device, name) pair, added in list order, with the name as Name and Alias.
    QProcess *startBluez5(const QList<QPair<QString, QString>> &adapters);
    bool setBluez5Alias(const QString &device, const QString &alias);

    QDBusMessage call(const QString &service, const QString &path, const QString &interface, const QString &method,
        const QVariantList &arguments = QVariantList()) const;

private:
    QDBusMessage callMock(
        const QString &service, const QString &path, const QString &method, const QVariantList &arguments) const;

    QTemporaryDir dir;
    QProcess *daemon = nullptr;
    QList<QProcess *> services;
};
