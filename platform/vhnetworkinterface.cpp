#include "platform/vhnetworkinterface.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cstring>

namespace
{

// The USB link to the head unit: a USB gadget's Ethernet (usb*), RNDIS or NCM function.
bool namesUsbLink(const char *name)
{
    for (const char *prefix : {"usb", "rndis", "ncm"}) {
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0)
            return true;
    }
    return false;
}

class SystemNetworkInterface : public VhNetworkInterface
{
public:
    QString interfaceName() const override
    {
        ifaddrs *addresses = nullptr;
        if (getifaddrs(&addresses) != 0)
            return QString();
        QString name;
        for (ifaddrs *entry = addresses; entry && name.isEmpty(); entry = entry->ifa_next) {
            if ((entry->ifa_flags & IFF_UP) && namesUsbLink(entry->ifa_name))
                name = QString::fromLatin1(entry->ifa_name);
        }
        freeifaddrs(addresses);
        return name;
    }
};

} // namespace

VhNetworkInterface::~VhNetworkInterface() = default;

VhNetworkInterface *VhNetworkInterface::factory()
{
    return new SystemNetworkInterface;
}
