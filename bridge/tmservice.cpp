#include "bridge/tmservice.h"

#include <QDBusConnection>
#include <libgupnp/gupnp.h>

namespace
{
const char applicationServerType[] = "urn:schemas-upnp-org:service:TmApplicationServer:1";
const char clientProfileType[] = "urn:schemas-upnp-org:service:TmClientProfile:1";

void notifyVariable(GUPnPServiceInfo *service, const char *variable, const QString &value)
{
    if (!service)
        return;
    gupnp_service_notify(GUPNP_SERVICE(service), variable, G_TYPE_STRING, value.toLocal8Bit().constData(), nullptr);
}

void release(GUPnPServiceInfo *&service, gpointer handlerData)
{
    if (!service)
        return;
    g_signal_handlers_disconnect_by_data(service, handlerData);
    g_object_unref(service);
    service = nullptr;
}
} // namespace

class TmServicePrivate
{
public:
    GUPnPServiceInfo *clientProfileService = nullptr;
    GUPnPServiceInfo *applicationServerService = nullptr;
};

TmService::TmService(QObject *parent, const QString &service, const QString &path)
    : VehiraServerInterface(service, path, QDBusConnection::sessionBus(), parent)
    , d(new TmServicePrivate)
{
}

TmService::~TmService()
{
    release(d->clientProfileService, this);
    release(d->applicationServerService, this);
    delete d;
}

bool TmService::bindToRootDevice(GUPnPRootDevice *rootDevice)
{
    if (!rootDevice)
        return false;
    if (!d->clientProfileService)
        d->clientProfileService = gupnp_device_info_get_service(GUPNP_DEVICE_INFO(rootDevice), clientProfileType);
    if (!d->applicationServerService)
        d->applicationServerService
            = gupnp_device_info_get_service(GUPNP_DEVICE_INFO(rootDevice), applicationServerType);
    if (!d->clientProfileService || !d->applicationServerService)
        return false;

    connect(this, &VehiraServerInterface::AppListUpdateStateChanged, this, &TmService::setAppListUpdateState);
    connect(this, &VehiraServerInterface::AppStatusUpdateStateChanged, this, &TmService::setAppStatusUpdateState);
    connect(this, &VehiraServerInterface::UnusedProfileIDsChanged, this, &TmService::setUnusedProfileIDs);
    return true;
}

void TmService::setAppStatusUpdateState(const QString &newValue)
{
    notifyVariable(d->applicationServerService, "AppStatusUpdate", newValue);
}

void TmService::setAppListUpdateState(const QString &newValue)
{
    notifyVariable(d->applicationServerService, "AppListUpdate", newValue);
}

void TmService::setUnusedProfileIDs(const QString &newValue)
{
    notifyVariable(d->clientProfileService, "UnusedProfileIDs", newValue);
}
