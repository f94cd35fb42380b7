#pragma once

#include <QString>

#include <memory>

class DeviceInfoPrivate;

// The handset's identity as the platform reports it. Each value comes from the first source
// that answers and is empty when none does; hostnamed and BlueZ are asked once per object.
// Every bus call waits at most busCallTimeout, so a hung service cannot stall start-up.
class DeviceInfo
{
public:
    static const int busCallTimeout = 2000;
    // All BlueZ calls of one object share one bound, so a hung BlueZ costs start-up under 1 s.
    static const int bluezTimeout = 900;

    // rootDir prefixes the device tree (proc/device-tree) and DMI (sys/class/dmi/id) files.
    explicit DeviceInfo(const QString &rootDir = QStringLiteral("/"));
    ~DeviceInfo();

    // ModemManager's equipment identifier of the first modem.
    QString imei() const;
    // hostnamed's HardwareVendor, else the device tree's compatible vendor, else the DMI system vendor.
    QString manufacturer() const;
    // hostnamed's HardwareModel, else the device tree's model, else the DMI product name.
    QString model() const;
    // hostnamed's PrettyHostname, else the DMI product name, else the host name.
    QString productName() const;
    // The default BlueZ 5 adapter's address, in the letter case BlueZ reports it.
    QString bluetoothAddress() const;
    // BlueZ 4's default adapter's Name; where BlueZ 4's manager is missing, the first BlueZ 5
    // adapter's user-visible name, its Alias, else its Name.
    QString bluetoothAdapterName() const;

private:
    Q_DISABLE_COPY(DeviceInfo)
    std::unique_ptr<DeviceInfoPrivate> const d;
};
