#pragma once

#include "bridge/tmservice.h"
#include "vehiraservercontract.h"

#include <QHash>
#include <libgupnp/gupnp.h>

#include <memory>
#include <unordered_map>

class QueryRelay;

// An action that GUPnP handed over and that waits for the back-end's reply.
struct PendingAction {
    std::unique_ptr<BusCall> call;
    const BusMethod *method;
    const char *outArgument;
};

class TmServicePrivate
{
public:
    TmServicePrivate(const QString &service, const QString &path);

    static TmServicePrivate *get(TmService *service);

    // Starts the back-end call of an action; the action is answered when the reply arrives, or
    // at once with 501 when the call cannot be made.
    void relayAction(GUPnPServiceAction *action, const BusMethod &method, const std::vector<BusArgument> &arguments,
        const char *outArgument);
    void answerFinishedCall(GUPnPServiceAction *action, sd_bus_message *reply);
    // Answers every action still waiting with 501; their calls are cancelled.
    void abandonPendingActions();

    GUPnPServiceInfo *serviceOf(VehiraServer::Service service) const
    {
        return service == VehiraServer::Service::ApplicationServer ? applicationServerService : clientProfileService;
    }
    // Sends a change the back-end signalled as an event of the state variable that follows the signal.
    void notifyChange(const BusSignal &changed, const QString &value);

    BusClient backend;
    GUPnPServiceInfo *clientProfileService = nullptr;
    GUPnPServiceInfo *applicationServerService = nullptr;
    std::unique_ptr<QueryRelay> queryRelay;
    std::unordered_map<GUPnPServiceAction *, PendingAction> pendingActions;
};
