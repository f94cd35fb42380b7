#pragma once

#include <QString>
#include <QTemporaryFile>
#include <libgupnp/gupnp.h>
#include <libxml/tree.h>

class TmService;

class TmServerDevicePrivate
{
public:
    GUPnPRootDevice *rootDevice = nullptr;
    xmlDocPtr description = nullptr;
    QString descriptionDir;
    QTemporaryFile descriptionFile;
    TmService *service = nullptr;
};
