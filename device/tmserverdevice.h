#pragma once

#include "upnp/publisheddevice.h"

#include <QFileInfo>
#include <QObject>

#include <memory>

typedef struct _xmlNode xmlNode;
class TmServerDevicePrivate;

// The published UPnP root device: its description document (loaded from the template,
// personalised, saved to a temporary file), the GUPnP root device and the service bridge.
class TmServerDevice : public QObject, public PublishedDevice
{
public:
    TmServerDevice(const QString &descriptionDir, QObject *parent);
    ~TmServerDevice() override;

    // True when the device has a root device on the context after the call. The description
    // is personalised and saved once; a root device on another context is replaced, so the
    // same device (UDN, description, back-end) follows the link from context to context.
    bool createRootDevice(GUPnPContext *context) override;
    // Announces the root device on the network, if there is one.
    void setAvailable() override;
    // Drops the bridge and the root device (saying byebye where the link still carries it).
    void withdraw() override;
    QString udn() const override;
    QString location() const override;

private:
    // tests/fuzz/personalisation.cpp feeds the personalisation any template.
    friend struct PersonalisationFuzz;
    bool loadDescription();
    QFileInfo saveDescription();
    bool startService();
    QString templatePath() const;

    xmlNode *findNode(const QString &path) const;
    bool setNodeContent(const QString &path, const QString &value);
    void personaliseDescription();
    bool restoreIdentity();
    void keepIdentity();
    QString bluetoothAddress();
    QString bluetoothAdapterName();

    std::unique_ptr<TmServerDevicePrivate> const d;
};
