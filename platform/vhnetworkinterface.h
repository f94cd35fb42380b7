#pragma once

#include <QString>

#include <memory>

// Names the network interface of the handset's USB link to the head unit.
class VhNetworkInterface
{
public:
    static std::unique_ptr<VhNetworkInterface> factory();
    virtual ~VhNetworkInterface();
    // The first interface that is up and whose name starts with usb, rndis or ncm; empty when none.
    virtual QString interfaceName() const = 0;
};
