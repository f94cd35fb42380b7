#pragma once

#include "backend/demo/upnpresult.h"

#include <QDBusContext>
#include <QObject>

#include <memory>

class DemoBackendPrivate;

// A demonstration back-end: three sample applications whose status follows launch and
// terminate requests, and client profiles kept in memory. The slots are the contract's
// methods, called directly by the generated adaptor; the signals are relayed by it.
class DemoBackend : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    // replyDelayMs > 0 holds every D-Bus reply back by that long, to imitate a slow back-end.
    explicit DemoBackend(int replyDelayMs, QObject *parent = nullptr);
    ~DemoBackend() override;

    UpnpResult::String GetApplicationList(const QString &appListingFilter, uint profileId, const QString &urlBase);
    UpnpResult::String LaunchApplication(const QString &appId, uint profileId);
    UpnpResult::String TerminateApplication(const QString &appId, uint profileId);
    UpnpResult::String GetApplicationStatus(const QString &appId);
    UpnpResult::uint32 GetMaxNumProfiles();
    UpnpResult::String SetClientProfile(uint profileId, const QString &clientProfile);
    UpnpResult::String GetClientProfile(uint profileId);
    QString GetUnusedProfileIDs();
    QString GetAppListUpdateState();
    QString GetAppStatusUpdateState();

Q_SIGNALS:
    void AppListUpdateStateChanged(const QString &newValue);
    void AppStatusUpdateStateChanged(const QString &newValue);
    void UnusedProfileIDsChanged(const QString &newValue);

private:
    UpnpResult::String changeStatus(const QString &appId, uint profileId, const QString &status);
    template <typename Reply>
    Reply answer(const Reply &reply);

    std::unique_ptr<DemoBackendPrivate> const d;
};
