#pragma once

#include "bridge/tmservice.h"
#include "platform/deviceinfo.h"

#include <QString>
#include <QTemporaryFile>
#include <libgupnp/gupnp.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>

class TmServerDevicePrivate
{
public:
    GUPnPRootDevice *rootDevice = nullptr;
    xmlDocPtr description = nullptr;
    QString descriptionDir;
    QTemporaryFile descriptionFile;
    // The bridge is also the device's QObject child, but is deleted here, before the root device
    // is released.
    std::unique_ptr<TmService> service;
    // The personalised description once a root device has been made from it; every later
    // root device (on a new context) is made from the same file.
    QByteArray publishedDescriptionPath;
    // What the platform reports, asked once per personalisation and dropped after it.
    std::optional<DeviceInfo> deviceInfo;

    const DeviceInfo &platform()
    {
        if (!deviceInfo)
            deviceInfo.emplace();
        return *deviceInfo;
    }
};
