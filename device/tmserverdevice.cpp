#include "device/tmserverdevice.h"

#include "bridge/tmservice.h"
#include "device/tmserverdevice_p.h"
#include "platform/tmserver_debug.h"

#include <QDir>

namespace
{
const char templateFileName[] = "tmserverdevice.xml";
const char temporaryFileTemplate[] = "upnp_root_device_XXXXXXXX.xml";
const char backendService[] = "com.quorvex.VehiraServer";
const char backendPath[] = "/";
} // namespace

TmServerDevice::TmServerDevice(const QString &descriptionDir, QObject *parent)
    : QObject(parent)
    , d(new TmServerDevicePrivate)
{
    d->descriptionDir = descriptionDir;
    d->descriptionFile.setFileTemplate(QDir::tempPath() + QLatin1Char('/') + QLatin1String(temporaryFileTemplate));
    loadDescription();
}

TmServerDevice::~TmServerDevice()
{
    // The bridge holds handlers on the root device's services: it goes first.
    delete d->service;
    d->service = nullptr;
    if (d->rootDevice) {
        g_object_unref(d->rootDevice);
        d->rootDevice = nullptr;
    }
    if (d->description) {
        xmlFreeDoc(d->description);
        d->description = nullptr;
    }
    delete d;
}

bool TmServerDevice::createRootDevice(GUPnPContext *context)
{
    if (!context || d->rootDevice)
        return d->rootDevice != nullptr;

    personaliseDescription();
    const QFileInfo descriptionInfo = saveDescription();
    const QByteArray descriptionPath
        = descriptionInfo.filePath().isEmpty() ? QByteArray() : descriptionInfo.absoluteFilePath().toLatin1();
    // The description directory is also hosted at "/"; handing GUPnP the template directory
    // rather than the file system root keeps it from serving the whole machine.
    const QByteArray descriptionDir = QDir(d->descriptionDir).absolutePath().toLatin1();
    GError *error = nullptr;
    d->rootDevice = gupnp_root_device_new(context, descriptionPath.constData(), descriptionDir.constData(), &error);
    if (error) {
        qCWarning(lcDevice, "Cannot create the root device from %s: %s", descriptionPath.constData(), error->message);
        g_error_free(error);
    }
    if (d->rootDevice)
        startService();
    return d->rootDevice != nullptr;
}

void TmServerDevice::setAvailable()
{
    if (d->rootDevice)
        gupnp_root_device_set_available(d->rootDevice, TRUE);
}

QString TmServerDevice::templatePath() const
{
    return QFileInfo(QDir(d->descriptionDir), QLatin1String(templateFileName)).absoluteFilePath();
}

bool TmServerDevice::loadDescription()
{
    if (!d->description)
        d->description = xmlParseFile(templatePath().toLatin1().constData());
    return d->description != nullptr;
}

QFileInfo TmServerDevice::saveDescription()
{
    if (!d->description)
        loadDescription();
    if (!d->descriptionFile.isOpen())
        d->descriptionFile.open();
    const QFileInfo info(d->descriptionFile.fileName());
    d->descriptionFile.close();
    if (info.filePath().isEmpty() || !d->description)
        return QFileInfo();
    if (xmlSaveFile(info.absoluteFilePath().toLatin1().constData(), d->description) < 0)
        return QFileInfo();
    return info;
}

bool TmServerDevice::startService()
{
    delete d->service;
    d->service = nullptr;
    if (!d->rootDevice)
        return false;
    d->service = new TmService(this, QLatin1String(backendService), QLatin1String(backendPath));
    if (d->service->bindToRootDevice(d->rootDevice))
        return true;
    delete d->service;
    d->service = nullptr;
    return false;
}
