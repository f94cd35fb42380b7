#pragma once

#include <QObject>
#include <QString>

#include <memory>

typedef struct _GUPnPRootDevice GUPnPRootDevice;
class TmServicePrivate;

// Joins the two UPnP services of the root device to the back-end: it holds the back-end's D-Bus
// client, is the user data of every UPnP action and query handler, and turns the back-end's
// change signals into UPnP events.
class TmService : public QObject
{
public:
    TmService(QObject *parent, const QString &service, const QString &path);
    ~TmService() override;

    // True when both services were found on the root device and everything is connected.
    bool bindToRootDevice(GUPnPRootDevice *rootDevice);

    void setAppStatusUpdateState(const QString &newValue);
    void setAppListUpdateState(const QString &newValue);
    void setUnusedProfileIDs(const QString &newValue);

private:
    friend class TmServicePrivate;
    std::unique_ptr<TmServicePrivate> const d;
};
