#include "bridge/tmservice.h"

#include "bridge/queryrelay_p.h"
#include "bridge/tmservice_p.h"
#include "bridge/upnphandlers_p.h"
#include "bridge/xmlvalue.h"

namespace
{
const char applicationServerType[] = "urn:schemas-upnp-org:service:TmApplicationServer:1";
const char clientProfileType[] = "urn:schemas-upnp-org:service:TmClientProfile:1";

// Below the 30 s a control point usually waits for a SOAP answer, so a hung back-end
// still gets the head unit its 501.
const int defaultBackendCallTimeoutMs = 25000;

// TMSERVERD_CALL_TIMEOUT_MS is for tests only: a hung back-end need not hold a test for 25 s.
int backendCallTimeoutMs()
{
    bool ok = false;
    const int timeoutMs = qEnvironmentVariableIntValue("TMSERVERD_CALL_TIMEOUT_MS", &ok);
    return ok && timeoutMs > 0 ? timeoutMs : defaultBackendCallTimeoutMs;
}

// The handlers go first: something else may keep the service alive after this reference.
void release(GUPnPServiceInfo *&service, gpointer handlerData)
{
    if (!service)
        return;
    g_signal_handlers_disconnect_by_data(service, handlerData);
    g_object_unref(service);
    service = nullptr;
}
} // namespace

TmServicePrivate::TmServicePrivate(const QString &service, const QString &path)
    : backend(service.toUtf8().constData(), path.toUtf8().constData(), VehiraServer::interfaceName,
        uint64_t(backendCallTimeoutMs()) * 1000)
{
}

TmServicePrivate *TmServicePrivate::get(TmService *service)
{
    return service->d.get();
}

// A value the back-end sent that no message could carry is not evented, nor answered to a query.
void TmServicePrivate::notifyChange(const BusSignal &changed, const QString &value)
{
    for (const VehiraServer::QueryRoute &route : VehiraServer::queryRoutes) {
        if (route.changed != &changed || !queryRelay)
            continue;
        if (const std::optional<QByteArray> carried = XmlValue::fromBackend(route.variable, value.toUtf8().constData()))
            queryRelay->publishChange(route.service, route.variable, *carried);
    }
}

TmService::TmService(QObject *parent, const QString &service, const QString &path)
    : QObject(parent)
    , d(std::make_unique<TmServicePrivate>(service, path))
{
}

TmService::~TmService()
{
    // A pending action keeps only the context alive, so it is answered while its service still exists.
    d->abandonPendingActions();
    d->queryRelay.reset();
    release(d->clientProfileService, this);
    release(d->applicationServerService, this);
}

bool TmService::bindToRootDevice(GUPnPRootDevice *rootDevice)
{
    if (!rootDevice)
        return false;
    // Each call returns a new proxy, and dropping a second proxy of a service tears down the
    // first one's handlers: one lookup per type, once per object.
    d->clientProfileService = gupnp_device_info_get_service(GUPNP_DEVICE_INFO(rootDevice), clientProfileType);
    d->applicationServerService = gupnp_device_info_get_service(GUPNP_DEVICE_INFO(rootDevice), applicationServerType);
    if (!d->clientProfileService || !d->applicationServerService)
        return false;

    connectUpnpHandlers(this);
    d->backend.onSignal(
        VehiraServer::AppListUpdateStateChanged, [this](const QString &value) { setAppListUpdateState(value); });
    d->backend.onSignal(
        VehiraServer::AppStatusUpdateStateChanged, [this](const QString &value) { setAppStatusUpdateState(value); });
    d->backend.onSignal(
        VehiraServer::UnusedProfileIDsChanged, [this](const QString &value) { setUnusedProfileIDs(value); });
    d->queryRelay = std::make_unique<QueryRelay>(this);
    return true;
}

void TmService::setAppStatusUpdateState(const QString &newValue)
{
    d->notifyChange(VehiraServer::AppStatusUpdateStateChanged, newValue);
}

void TmService::setAppListUpdateState(const QString &newValue)
{
    d->notifyChange(VehiraServer::AppListUpdateStateChanged, newValue);
}

void TmService::setUnusedProfileIDs(const QString &newValue)
{
    d->notifyChange(VehiraServer::UnusedProfileIDsChanged, newValue);
}
