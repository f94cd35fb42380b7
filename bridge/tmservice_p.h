#pragma once

#include "bridge/tmservice.h"

#include <QHash>
#include <libgupnp/gupnp.h>

class QDBusPendingCall;
class QDBusPendingCallWatcher;
class QueryRelay;

// Answers an action from its finished back-end call (see actionrelay_p.h).
using ActionAnswer = void (*)(const QDBusPendingCall &call, GUPnPServiceAction *action, const char *outArgument);

// An action that GUPnP handed over and that waits for the back-end's reply.
struct PendingAction {
    GUPnPServiceAction *action;
    const char *outArgument;
    ActionAnswer answer;
};

class TmServicePrivate
{
public:
    explicit TmServicePrivate(TmService *service);

    static TmServicePrivate *get(TmService *service);

    // Starts the back-end call of an action; the action is answered when the reply arrives.
    void relayAction(GUPnPServiceAction *action, const QString &method, const QList<QVariant> &arguments,
        const char *outArgument, ActionAnswer answer);
    void answerFinishedCall(QDBusPendingCallWatcher *call);
    // Answers every action still waiting with 501; their replies are then ignored.
    void abandonPendingActions();

    TmService *const q;
    GUPnPServiceInfo *clientProfileService = nullptr;
    GUPnPServiceInfo *applicationServerService = nullptr;
    QueryRelay *queryRelay = nullptr;
    QHash<QDBusPendingCallWatcher *, PendingAction> pendingActions;
};
