#include "device/tmserverdevice.h"

#include "device/identitystore.h"
#include "device/ssdpanswers.h"
#include "device/tmserverdevice_p.h"
#include "platform/tmserver_debug.h"
#include "vehiraservercontract.h"

#include <QDir>

namespace
{
const char templateFileName[] = "tmserverdevice.xml";
const char temporaryFileTemplate[] = "upnp_root_device_XXXXXXXX.xml";
} // namespace

TmServerDevice::TmServerDevice(const QString &descriptionDir, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<TmServerDevicePrivate>())
{
    d->descriptionDir = descriptionDir;
    d->descriptionFile.setFileTemplate(QDir::tempPath() + QLatin1Char('/') + QLatin1String(temporaryFileTemplate));
    IdentityStore::removeInterruptedWriteBacks(templatePath());
    loadDescription();
}

TmServerDevice::~TmServerDevice()
{
    withdraw();
}

bool TmServerDevice::createRootDevice(GUPnPContext *context)
{
    if (!context || (d->rootDevice && gupnp_device_info_get_context(GUPNP_DEVICE_INFO(d->rootDevice)) == context))
        return d->rootDevice != nullptr;

    withdraw();
    QByteArray descriptionPath = d->publishedDescriptionPath;
    if (descriptionPath.isEmpty()) {
        personaliseDescription();
        const QFileInfo descriptionInfo = saveDescription();
        if (!descriptionInfo.filePath().isEmpty())
            descriptionPath = descriptionInfo.absoluteFilePath().toLatin1();
    }
    // The description directory is also hosted at "/"; handing GUPnP the template directory
    // rather than the file system root keeps it from serving the whole machine.
    const QByteArray descriptionDir = QDir(d->descriptionDir).absolutePath().toLatin1();
    keepSearchAnswersPrompt(GSSDP_CLIENT(context));
    g_autoptr(GError) error = nullptr;
    d->rootDevice = gupnp_root_device_new(context, descriptionPath.constData(), descriptionDir.constData(), &error);
    if (error)
        qCWarning(lcDevice, "Cannot create the root device from %s: %s", descriptionPath.constData(), error->message);
    if (!d->rootDevice)
        return false;
    d->publishedDescriptionPath = descriptionPath;
    if (!startService())
        qCWarning(lcDevice,
            "Cannot bind the services of %s to the back-end: the device is published, but no "
            "action or query reaches the back-end",
            descriptionPath.constData());
    return true;
}

void TmServerDevice::setAvailable()
{
    if (!d->rootDevice)
        return;
    // GSSDP spaces its messages 120 ms apart and starts with a round of byebyes, so the first
    // alive, and every search answer queued behind the burst, would leave late. A point-to-point
    // link to one head unit needs no spacing.
    gssdp_resource_group_set_message_delay(gupnp_root_device_get_ssdp_resource_group(d->rootDevice), 0);
    gupnp_root_device_set_available(d->rootDevice, TRUE);
}

void TmServerDevice::withdraw()
{
    // The bridge holds handlers on the root device's services: it goes first.
    d->service.reset();
    g_clear_object(&d->rootDevice);
}

QString TmServerDevice::udn() const
{
    return d->rootDevice ? QString::fromLatin1(gupnp_device_info_get_udn(GUPNP_DEVICE_INFO(d->rootDevice))) : QString();
}

QString TmServerDevice::location() const
{
    return d->rootDevice ? QString::fromLatin1(gupnp_device_info_get_location(GUPNP_DEVICE_INFO(d->rootDevice)))
                         : QString();
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
    d->service.reset();
    if (!d->rootDevice)
        return false;
    auto service = std::make_unique<TmService>(
        this, QLatin1String(VehiraServer::busName), QLatin1String(VehiraServer::objectPath));
    if (!service->bindToRootDevice(d->rootDevice))
        return false;
    d->service = std::move(service);
    return true;
}
