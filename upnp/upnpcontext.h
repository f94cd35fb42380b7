#pragma once

#include <QObject>
#include <QString>

#include <memory>

class PublishedDevice;
class UpnpContextPrivate;

// Follows one network interface for the daemon's whole life: whenever the UPnP stack opens a
// context on it (the interface comes up with an address), it publishes the installation and
// icon directories there and has the server device announce its root device on it; when the
// context goes (address removed, interface down or gone), the root device is withdrawn.
class UpnpContext : public QObject
{
public:
    // The server device stays the caller's; it must outlive this object.
    UpnpContext(const QString &interfaceName, int port, PublishedDevice *serverDevice, QObject *parent);
    ~UpnpContext() override;

    // False when the port is out of range, or the interface is missing or has no usable
    // address: the device must be up once start() returns true.
    bool start();

private:
    friend class UpnpContextPrivate;
    std::unique_ptr<UpnpContextPrivate> const d;
};
