#pragma once

#include <QString>

typedef struct _GUPnPContext GUPnPContext;

// The root device UpnpContext publishes on every context it opens, as the context sees it; the
// server device implements it, so that this layer needs nothing of the device's own.
class PublishedDevice
{
public:
    // True when the device has a root device on the context after the call.
    virtual bool createRootDevice(GUPnPContext *context) = 0;
    // Announces the root device on the network, if there is one.
    virtual void setAvailable() = 0;
    // Drops the root device (saying byebye where the link still carries it).
    virtual void withdraw() = 0;
    virtual QString udn() const = 0;
    virtual QString location() const = 0;

protected:
    ~PublishedDevice() = default;
};
