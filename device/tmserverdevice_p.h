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
    // What the platform reports, asked once per personalisation and dropped after it.
    std::optional<DeviceInfo> deviceInfo;

    const DeviceInfo &platform()
    {
        if (!deviceInfo)
            deviceInfo.emplace();
        return *deviceInfo;
    }
};
