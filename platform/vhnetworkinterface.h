#pragma once

#include <QString>

// Names the network interface of the handset's USB link to the head unit.
class VhNetworkInterface
{
public:
    // A new object; the caller deletes it.
    static VhNetworkInterface *factory();
    virtual ~VhNetworkInterface();
    // The first interface that is up and whose name starts with usb, rndis or ncm; empty when none.
    virtual QString interfaceName() const = 0;
};
