#include "device/tmserverdevice.h"
#include "device/tmserverdevice_p.h"
#include "platform/deviceinfo.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QSaveFile>
#include <QUuid>

namespace
{

const char pathSeparator[] = "/";
const char udnPrefix[] = "uuid:";

const char udnPath[] = "root/device/UDN";
const char serialNumberPath[] = "root/device/serialNumber";
const char manufacturerPath[] = "root/device/manufacturer";
const char modelDescriptionPath[] = "root/device/modelDescription";
const char modelNumberPath[] = "root/device/modelNumber";
const char modelNamePath[] = "root/device/modelName";
const char friendlyNamePath[] = "root/device/friendlyName";
const char bluetoothAddressPath[] = "root/device/X_connectivity/bluetooth/bdAddr";

const char bluezService[] = "org.bluez";
const char bluezManagerPath[] = "/";
const char bluezManagerInterface[] = "org.bluez.Manager";
const char bluezAdapterInterface[] = "org.bluez.Adapter";

bool hasText(xmlNode *node)
{
    xmlChar *content = node ? xmlNodeGetContent(node) : nullptr;
    const bool filled = content && content[0] != '\0';
    xmlFree(content);
    return filled;
}

// A crash or power cut while the template is rewritten must leave the old template, never
// a truncated one: the document goes to a file beside it, which then replaces it.
bool saveOver(xmlDocPtr document, const QString &path)
{
    if (!document)
        return false;
    xmlChar *text = nullptr;
    int size = 0;
    xmlDocDumpMemory(document, &text, &size);
    if (!text)
        return false;
    QSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) && file.write(reinterpret_cast<const char *>(text), size) == size
        && file.commit();
    xmlFree(text);
    return saved;
}

// BlueZ 5 no longer has the manager; anything else that fails means there is no name.
bool lacksBluezManager(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
        return true;
    default:
        return false;
    }
}

QDBusMessage callBluez(const QString &path, const char *interface, const char *method, int timeout)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(bluezService), path, QLatin1String(interface), QLatin1String(method));
    if (timeout <= 0)
        return call.createErrorReply(QDBusError::NoReply, QStringLiteral("No time left for BlueZ"));
    return platformSystemBus().call(call, QDBus::Block, timeout);
}

} // namespace

xmlNode *TmServerDevice::findNode(const QString &path) const
{
    if (!d->description)
        return nullptr;
    auto *current = reinterpret_cast<xmlNode *>(d->description);
    for (const QString &segment : path.split(QLatin1String(pathSeparator))) {
        xmlNode *child = current->children;
        while (child && QLatin1String(reinterpret_cast<const char *>(child->name)) != segment)
            child = child->next;
        if (!child)
            return nullptr;
        current = child;
    }
    return current;
}

bool TmServerDevice::setNodeContent(const QString &path, const QString &value)
{
    xmlNode *node = findNode(path);
    if (!node)
        return false;
    // xmlNodeSetContent resolves entity references, so the element's text is the value itself.
    const QByteArray content = value.toHtmlEscaped().toLocal8Bit();
    xmlNodeSetContent(node, reinterpret_cast<const xmlChar *>(content.constData()));
    return true;
}

void TmServerDevice::personaliseDescription()
{
    const DeviceInfo &deviceInfo = d->platform();
    if (!hasText(findNode(QLatin1String(udnPath)))) {
        const QString manufacturer = deviceInfo.manufacturer();
        setNodeContent(
            QLatin1String(udnPath), QLatin1String(udnPrefix) + QUuid::createUuid().toString(QUuid::WithoutBraces));
        setNodeContent(QLatin1String(serialNumberPath), deviceInfo.imei());
        setNodeContent(QLatin1String(manufacturerPath), manufacturer);
        setNodeContent(QLatin1String(modelDescriptionPath), manufacturer);
        setNodeContent(QLatin1String(modelNumberPath), deviceInfo.model());
        setNodeContent(QLatin1String(modelNamePath), deviceInfo.productName());
        // Before the per-start values, which must never reach the template. A failure leaves the
        // UDN empty on disk, so the next start tries again.
        saveOver(d->description, templatePath());
    }

    QString friendlyName = bluetoothAdapterName();
    if (friendlyName.isEmpty())
        friendlyName = deviceInfo.productName();
    setNodeContent(QLatin1String(friendlyNamePath), friendlyName);
    setNodeContent(QLatin1String(bluetoothAddressPath), bluetoothAddress());
    d->deviceInfo.reset();
}

QString TmServerDevice::bluetoothAddress()
{
    return d->platform().bluetoothAddress().remove(QLatin1Char(':'));
}

QString TmServerDevice::bluetoothAdapterName()
{
    const QDBusReply<QDBusObjectPath> adapter = callBluez(
        QLatin1String(bluezManagerPath), bluezManagerInterface, "DefaultAdapter", d->platform().bluezTimeLeft());
    if (!adapter.isValid())
        return lacksBluezManager(adapter.error()) ? d->platform().bluetoothAdapterName() : QString();
    const QDBusReply<QVariantMap> properties
        = callBluez(adapter.value().path(), bluezAdapterInterface, "GetProperties", d->platform().bluezTimeLeft());
    return properties.value().value(QStringLiteral("Name")).toString();
}
