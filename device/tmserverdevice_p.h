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
    ~TmServerDevicePrivate()
    {
        xmlFreeDoc(description);
    }

    GUPnPRootDevice *rootDevice = nullptr;
    xmlDocPtr description = nullptr;
    QString descriptionDir;
    QTemporaryFile descriptionFile;
    // Deleted before the root device is released, whose services it holds handlers on.
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
