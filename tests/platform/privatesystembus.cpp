#include "privatesystembus.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

namespace
{

const int startTimeout = 10000;
const char mockInterface[] = "org.freedesktop.DBus.Mock";
const char hostnameService[] = "org.freedesktop.hostname1";
const char hostnamePath[] = "/org/freedesktop/hostname1";
const char modemManagerService[] = "org.freedesktop.ModemManager1";
const char modemManagerPath[] = "/org/freedesktop/ModemManager1";

// dbusmock's AddObject takes the new object's methods as a(ssss); the fakes need none.
struct MockMethod {
    QString name, inSignature, outSignature, code;
};

QDBusArgument &operator<<(QDBusArgument &argument, const MockMethod &method)
{
    argument.beginStructure();
    argument << method.name << method.inSignature << method.outSignature << method.code;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MockMethod &method)
{
    argument.beginStructure();
    argument >> method.name >> method.inSignature >> method.outSignature >> method.code;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(MockMethod)

PrivateSystemBus::PrivateSystemBus()
{
    qDBusRegisterMetaType<MockMethod>();
    qDBusRegisterMetaType<QList<MockMethod>>();
}

PrivateSystemBus::~PrivateSystemBus()
{
    while (!services.isEmpty())
        stopService(services.constLast());
    if (daemon) {
        daemon->terminate();
        if (!daemon->waitForFinished(3000))
            daemon->kill();
        daemon->waitForFinished(3000);
        delete daemon;
    }
}

bool PrivateSystemBus::start()
{
    if (!dir.isValid())
        return false;
    daemon = new QProcess;
    daemon->start(QStringLiteral("dbus-daemon"),
        {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address"),
            QStringLiteral("--address=unix:path=") + dir.filePath(QStringLiteral("system_bus_socket"))});
    const QDeadlineTimer deadline(startTimeout);
    while (!daemon->canReadLine() && !deadline.hasExpired() && daemon->state() != QProcess::NotRunning)
        daemon->waitForReadyRead(100);
    const QByteArray address = daemon->readLine().trimmed();
    if (address.isEmpty())
        return false;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    return connection().isConnected();
}

QDBusConnection PrivateSystemBus::connection() const
{
    return QDBusConnection::systemBus();
}

QString PrivateSystemBus::directory() const
{
    return dir.path();
}

QProcess *PrivateSystemBus::startService(const QString &busName, const QStringList &pythonArguments)
{
    auto *service = new QProcess;
    service->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service->start(QStringLiteral(TM_TEST_PYTHON), pythonArguments);
    services.append(service);
    const QDeadlineTimer deadline(startTimeout);
    // The name's previous owner may not have left the bus yet.
    while (connection().interface()->servicePid(busName).value() != uint(service->processId())) {
        if (deadline.hasExpired() || service->state() == QProcess::NotRunning) {
            stopService(service);
            return nullptr;
        }
        QTest::qWait(20);
    }
    return service;
}

void PrivateSystemBus::stopService(QProcess *service)
{
    if (!service)
        return;
    services.removeAll(service);
    service->terminate();
    if (!service->waitForFinished(3000))
        service->kill();
    service->waitForFinished(3000);
    delete service;
}

QProcess *PrivateSystemBus::startHostnamed(const QVariantMap &properties, const QString &logFile)
{
    QStringList arguments {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system")};
    if (!logFile.isEmpty())
        arguments << QStringLiteral("-l") << logFile;
    arguments << QLatin1String(hostnameService) << QLatin1String(hostnamePath) << QLatin1String(hostnameService);
    QProcess *service = startService(QLatin1String(hostnameService), arguments);
    if (service
        && callMock(QLatin1String(hostnameService), QLatin1String(hostnamePath), QStringLiteral("AddProperties"),
               {QLatin1String(hostnameService), properties})
                .type()
            != QDBusMessage::ReplyMessage) {
        stopService(service);
        return nullptr;
    }
    return service;
}

bool PrivateSystemBus::updateHostnamed(const QVariantMap &properties)
{
    return callMock(QLatin1String(hostnameService), QLatin1String(hostnamePath), QStringLiteral("UpdateProperties"),
               {QLatin1String(hostnameService), properties})
               .type()
        == QDBusMessage::ReplyMessage;
}

QProcess *PrivateSystemBus::startModemManager(const QMap<QString, QString> &imeiByModemPath)
{
    QProcess *service = startService(QLatin1String(modemManagerService),
        {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"), QStringLiteral("-m"),
            QLatin1String(modemManagerService), QLatin1String(modemManagerPath), QLatin1String(modemManagerService)});
    for (auto modem = imeiByModemPath.cbegin(); service && modem != imeiByModemPath.cend(); ++modem) {
        const QVariantMap properties {{QStringLiteral("EquipmentIdentifier"), modem.value()}};
        const QDBusMessage reply
            = callMock(QLatin1String(modemManagerService), QLatin1String(modemManagerPath), QStringLiteral("AddObject"),
                {modem.key(), QStringLiteral("org.freedesktop.ModemManager1.Modem"), properties,
                    QVariant::fromValue(QList<MockMethod>())});
        if (reply.type() != QDBusMessage::ReplyMessage) {
            stopService(service);
            service = nullptr;
        }
    }
    return service;
}

QProcess *PrivateSystemBus::startBluez5(const QList<QPair<QString, QString>> &adapters)
{
    QProcess *service = startService(QStringLiteral("org.bluez"),
        {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"), QStringLiteral("--template"),
            QStringLiteral("bluez5")});
    for (auto adapter = adapters.cbegin(); service && adapter != adapters.cend(); ++adapter) {
        const QDBusMessage reply = call(QStringLiteral("org.bluez"), QStringLiteral("/"),
            QStringLiteral("org.bluez.Mock"), QStringLiteral("AddAdapter"), {adapter->first, adapter->second});
        if (reply.type() != QDBusMessage::ReplyMessage) {
            stopService(service);
            service = nullptr;
        }
    }
    return service;
}

bool PrivateSystemBus::setBluez5Alias(const QString &device, const QString &alias)
{
    const QVariantMap properties {{QStringLiteral("Alias"), alias}};
    return callMock(QStringLiteral("org.bluez"), QStringLiteral("/org/bluez/") + device,
               QStringLiteral("UpdateProperties"), {QStringLiteral("org.bluez.Adapter1"), properties})
               .type()
        == QDBusMessage::ReplyMessage;
}

QDBusMessage PrivateSystemBus::call(const QString &service, const QString &path, const QString &interface,
    const QString &method, const QVariantList &arguments) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return connection().call(message, QDBus::Block, startTimeout);
}

QDBusMessage PrivateSystemBus::callMock(
    const QString &service, const QString &path, const QString &method, const QVariantList &arguments) const
{
    return call(service, path, QLatin1String(mockInterface), method, arguments);
}
