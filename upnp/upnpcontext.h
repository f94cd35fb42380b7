#pragma once

#include <QObject>
#include <QString>

class UpnpContextPrivate;

// Binds the UPnP stack to one interface and port, brings the server device up on it,
// publishes the installation and icon directories and announces the root device.
class UpnpContext : public QObject
{
    Q_OBJECT
public:
    UpnpContext(const QString &interfaceName, int port, QObject *parent);
    ~UpnpContext() override;

    // False when the context or the server device cannot be created.
    bool start();

private:
    bool createContext();
    bool createServerDevice();

    UpnpContextPrivate *d;
};
