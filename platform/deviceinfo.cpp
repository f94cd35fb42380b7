#include "platform/deviceinfo.h"

#include "platform/systembus.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QVariantMap>

#include <optional>

namespace
{

const char propertiesInterface[] = "org.freedesktop.DBus.Properties";
const char objectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";

const char hostnameService[] = "org.freedesktop.hostname1";
const char hostnamePath[] = "/org/freedesktop/hostname1";

const char modemManagerService[] = "org.freedesktop.ModemManager1";
const char modemManagerPath[] = "/org/freedesktop/ModemManager1";
const char modemInterface[] = "org.freedesktop.ModemManager1.Modem";

const char bluezService[] = "org.bluez";
const char bluezAdapterInterface[] = "org.bluez.Adapter1";
const char bluez4ManagerInterface[] = "org.bluez.Manager";
const char bluez4AdapterInterface[] = "org.bluez.Adapter";

QVariantMap allProperties(const SystemBus &bus, const char *service, const char *path, const char *interface)
{
    return bus.call(service, path, propertiesInterface, "GetAll", interface, DeviceInfo::busCallTimeout).properties;
}

ManagedObjects managedObjects(
    const SystemBus &bus, const char *service, const char *path, int timeout = DeviceInfo::busCallTimeout)
{
    return bus.call(service, path, objectManagerInterface, "GetManagedObjects", nullptr, timeout).objects;
}

// Numbered paths in numeric order: hci2 comes before hci10.
bool comesBefore(const QString &path, const QString &other)
{
    return path.size() != other.size() ? path.size() < other.size() : path < other;
}

// The properties of the first object (in path order) that implements the interface.
QVariantMap firstObjectWith(const ManagedObjects &objects, const char *interface)
{
    std::optional<QString> firstPath;
    QVariantMap properties;
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        const QString &path = object.key();
        if (!object.value().contains(QLatin1String(interface)) || (firstPath && !comesBefore(path, *firstPath)))
            continue;
        firstPath = path;
        properties = object.value().value(QLatin1String(interface));
    }
    return properties;
}

// BlueZ 5 no longer has the manager; anything else that fails means there is no name.
bool lacksBluez4Manager(const QString &error)
{
    static const QStringList missing = {QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod")};
    return missing.contains(error);
}

QString firstNonEmpty(std::initializer_list<QString> candidates)
{
    for (const QString &candidate : candidates) {
        if (!candidate.isEmpty())
            return candidate;
    }
    return QString();
}

} // namespace

class DeviceInfoPrivate
{
public:
    const QVariantMap &hostname();
    const QVariantMap &bluetoothAdapter();
    int bluezTimeLeft();
    QString readFile(const QString &relativePath) const;
    QString deviceTreeVendor() const;

    SystemBus bus;
    QDir root;
    std::optional<QVariantMap> hostnameProperties;
    std::optional<QVariantMap> bluetoothAdapterProperties;
    std::optional<QDeadlineTimer> bluezDeadline;
};

const QVariantMap &DeviceInfoPrivate::hostname()
{
    if (!hostnameProperties)
        hostnameProperties = allProperties(bus, hostnameService, hostnamePath, hostnameService);
    return *hostnameProperties;
}

const QVariantMap &DeviceInfoPrivate::bluetoothAdapter()
{
    if (!bluetoothAdapterProperties)
        bluetoothAdapterProperties
            = firstObjectWith(managedObjects(bus, bluezService, "/", bluezTimeLeft()), bluezAdapterInterface);
    return *bluetoothAdapterProperties;
}

int DeviceInfoPrivate::bluezTimeLeft()
{
    if (!bluezDeadline)
        bluezDeadline = QDeadlineTimer(DeviceInfo::bluezTimeout);
    return int(bluezDeadline->remainingTime());
}

// Device tree strings end in NUL and DMI strings in a line feed; neither belongs to the value.
QString DeviceInfoPrivate::readFile(const QString &relativePath) const
{
    QFile file(root.filePath(relativePath));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray content = file.readAll();
    const int end = content.indexOf('\0');
    if (end >= 0)
        content.truncate(end);
    return QString::fromUtf8(content).trimmed();
}

// "compatible" lists "vendor,board" entries, most specific first.
QString DeviceInfoPrivate::deviceTreeVendor() const
{
    const QString board = readFile(QStringLiteral("proc/device-tree/compatible"));
    const int comma = board.indexOf(QLatin1Char(','));
    return comma > 0 ? board.left(comma) : QString();
}

DeviceInfo::DeviceInfo(const QString &rootDir)
    : d(std::make_unique<DeviceInfoPrivate>())
{
    d->root = QDir(rootDir);
}

DeviceInfo::~DeviceInfo() = default;

QString DeviceInfo::imei() const
{
    const ManagedObjects modems = managedObjects(d->bus, modemManagerService, modemManagerPath);
    return firstObjectWith(modems, modemInterface).value(QStringLiteral("EquipmentIdentifier")).toString();
}

QString DeviceInfo::manufacturer() const
{
    return firstNonEmpty({d->hostname().value(QStringLiteral("HardwareVendor")).toString(), d->deviceTreeVendor(),
        d->readFile(QStringLiteral("sys/class/dmi/id/sys_vendor"))});
}

QString DeviceInfo::model() const
{
    return firstNonEmpty({d->hostname().value(QStringLiteral("HardwareModel")).toString(),
        d->readFile(QStringLiteral("proc/device-tree/model")),
        d->readFile(QStringLiteral("sys/class/dmi/id/product_name"))});
}

QString DeviceInfo::productName() const
{
    return firstNonEmpty({d->hostname().value(QStringLiteral("PrettyHostname")).toString(),
        d->readFile(QStringLiteral("sys/class/dmi/id/product_name")), QSysInfo::machineHostName()});
}

QString DeviceInfo::bluetoothAddress() const
{
    return d->bluetoothAdapter().value(QStringLiteral("Address")).toString();
}

QString DeviceInfo::bluetoothAdapterName() const
{
    const SystemBusReply bluez4Adapter
        = d->bus.call(bluezService, "/", bluez4ManagerInterface, "DefaultAdapter", nullptr, d->bluezTimeLeft());
    if (bluez4Adapter.error.isEmpty()) {
        return d->bus
            .call(bluezService, bluez4Adapter.objectPath.toUtf8().constData(), bluez4AdapterInterface, "GetProperties",
                nullptr, d->bluezTimeLeft())
            .properties.value(QStringLiteral("Name"))
            .toString();
    }
    if (!lacksBluez4Manager(bluez4Adapter.error))
        return QString();
    const QVariantMap &adapter = d->bluetoothAdapter();
    return firstNonEmpty(
        {adapter.value(QStringLiteral("Alias")).toString(), adapter.value(QStringLiteral("Name")).toString()});
}
