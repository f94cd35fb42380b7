#pragma once

#include "platform/deviceinfo.h"

#include <QString>
#include <QTemporaryFile>
#include <libgupnp/gupnp.h>
#include <libxml/tree.h>

#include <optional>

class TmService;

class TmServerDevicePrivate
{
public:
    GUPnPRootDevice *rootDevice = nullptr;
    xmlDocPtr description = nullptr;
    QString descriptionDir;
    QTemporaryFile descriptionFile;
    TmService *service = nullptr;
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
