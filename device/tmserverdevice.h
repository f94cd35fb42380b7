#pragma once

#include <QFileInfo>
#include <QObject>

typedef struct _GUPnPContext GUPnPContext;
typedef struct _xmlNode xmlNode;
class TmServerDevicePrivate;

// The published UPnP root device: its description document (loaded from the template,
// personalised, saved to a temporary file), the GUPnP root device and the service bridge.
class TmServerDevice : public QObject
{
    Q_OBJECT
public:
    TmServerDevice(const QString &descriptionDir, QObject *parent);
    ~TmServerDevice() override;

    // True when the device has a root device after the call; makes it only once.
    bool createRootDevice(GUPnPContext *context);
    // Announces the root device on the network, if there is one.
    void setAvailable();

private:
    bool loadDescription();
    QFileInfo saveDescription();
    bool startService();
    QString templatePath() const;

    xmlNode *findNode(const QString &path) const;
    bool setNodeContent(const QString &path, const QString &value);
    void personaliseDescription();
    QString bluetoothAddress();
    QString bluetoothAdapterName();

    TmServerDevicePrivate *d;
};
