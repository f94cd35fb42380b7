#pragma once

#include <QMap>
#include <QString>
#include <QVariantMap>

#include <memory>

class SystemBusPrivate;

// Of each interface's properties only the string-typed ones: the identity needs no others.
using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QString, InterfaceProperties>;

// The reply of a call, read as its signature says; error is the D-Bus error name, empty on success,
// and errorMessage says why (for a call that failed here, with the system's reason).
struct SystemBusReply {
    QString error;
    QString errorMessage;
    QString objectPath;
    QVariantMap properties;
    ManagedObjects objects;
};

// Blocking calls on the system bus, for start-up only, each bounded as a whole: a bus that has not
// taken the connection within one call's bound is given up for the calls after it. sd-bus honours
// DBUS_SYSTEM_BUS_ADDRESS.
class SystemBus
{
public:
    SystemBus();
    ~SystemBus();

    // A reply of signature o, a{sv} or a{oa{sa{sv}}}; any other is an InvalidSignature error. The
    // argument is passed as a string unless null; no time left (timeoutMsec <= 0) is a NoReply error.
    SystemBusReply call(const char *service, const char *path, const char *interface, const char *method,
        const char *argument, int timeoutMsec) const;

    SystemBus(const SystemBus &) = delete;
    SystemBus &operator=(const SystemBus &) = delete;

private:
    std::unique_ptr<SystemBusPrivate> const d;
};
