#include "device/tmserverdevice.h"
#include "device/tmserverdevice_p.h"

xmlNode *TmServerDevice::findNode(const QString &) const
{
    return nullptr;
}

bool TmServerDevice::setNodeContent(const QString &, const QString &)
{
    return false;
}

void TmServerDevice::personaliseDescription()
{
}

QString TmServerDevice::bluetoothAddress()
{
    return QString();
}

QString TmServerDevice::bluetoothAdapterName()
{
    return QString();
}
