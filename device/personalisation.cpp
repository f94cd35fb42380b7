#include "device/identitystore.h"
#include "device/tmserverdevice.h"
#include "device/tmserverdevice_p.h"
#include "platform/deviceinfo.h"
#include "platform/tmserver_debug.h"

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

// The values that identify the device for good, kept from the first start on.
const char *const identityPaths[]
    = {udnPath, serialNumberPath, manufacturerPath, modelDescriptionPath, modelNumberPath, modelNamePath};

QString stateKey(const char *path)
{
    return QString::fromLatin1(path).section(QLatin1Char('/'), -1);
}

QString text(xmlNode *node)
{
    xmlChar *content = node ? xmlNodeGetContent(node) : nullptr;
    const QString value = QString::fromUtf8(reinterpret_cast<const char *>(content));
    xmlFree(content);
    return value;
}

QByteArray serialised(xmlDocPtr document)
{
    xmlChar *dumped = nullptr;
    int size = 0;
    if (document)
        xmlDocDumpMemory(document, &dumped, &size);
    const QByteArray serialisedText(reinterpret_cast<const char *>(dumped), dumped ? size : 0);
    xmlFree(dumped);
    return serialisedText;
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
    const QByteArray content = value.toHtmlEscaped().toUtf8();
    xmlNodeSetContent(node, reinterpret_cast<const xmlChar *>(content.constData()));
    return true;
}

void TmServerDevice::personaliseDescription()
{
    const DeviceInfo &deviceInfo = d->platform();
    if (text(findNode(QLatin1String(udnPath))).isEmpty() && !restoreIdentity()) {
        const QString manufacturer = deviceInfo.manufacturer();
        setNodeContent(
            QLatin1String(udnPath), QLatin1String(udnPrefix) + QUuid::createUuid().toString(QUuid::WithoutBraces));
        setNodeContent(QLatin1String(serialNumberPath), deviceInfo.imei());
        setNodeContent(QLatin1String(manufacturerPath), manufacturer);
        setNodeContent(QLatin1String(modelDescriptionPath), manufacturer);
        setNodeContent(QLatin1String(modelNumberPath), deviceInfo.model());
        setNodeContent(QLatin1String(modelNamePath), deviceInfo.productName());
        // Before the per-start values, which must never be kept.
        keepIdentity();
    }

    QString friendlyName = bluetoothAdapterName();
    if (friendlyName.isEmpty())
        friendlyName = deviceInfo.productName();
    setNodeContent(QLatin1String(friendlyNamePath), friendlyName);
    setNodeContent(QLatin1String(bluetoothAddressPath), bluetoothAddress());
    d->deviceInfo.reset();
}

bool TmServerDevice::restoreIdentity()
{
    const QMap<QString, QString> kept = IdentityStore::keptIdentity();
    if (kept.value(stateKey(udnPath)).isEmpty())
        return false;
    for (const char *path : identityPaths)
        setNodeContent(QLatin1String(path), kept.value(stateKey(path)));
    return true;
}

// A template that cannot be written (an installation owned by root) leaves the identity to the
// state file, so that it stays the same all the same.
void TmServerDevice::keepIdentity()
{
    const QByteArray document = serialised(d->description);
    QString reason;
    if (document.isEmpty() || IdentityStore::writeBack(document, templatePath(), &reason))
        return;
    qCWarning(
        lcDevice, "Cannot write the identity back into %s: %s", qUtf8Printable(templatePath()), qUtf8Printable(reason));
    QMap<QString, QString> identity;
    for (const char *path : identityPaths)
        identity.insert(stateKey(path), text(findNode(QLatin1String(path))));
    const QString statePath = IdentityStore::stateFilePath();
    if (IdentityStore::keepIdentity(identity, &reason))
        qCInfo(lcDevice, "Identity kept in %s", qUtf8Printable(statePath));
    else
        qCWarning(
            lcDevice, "Cannot keep the identity in %s either: %s", qUtf8Printable(statePath), qUtf8Printable(reason));
}

QString TmServerDevice::bluetoothAddress()
{
    return d->platform().bluetoothAddress().remove(QLatin1Char(':'));
}

QString TmServerDevice::bluetoothAdapterName()
{
    return d->platform().bluetoothAdapterName();
}
