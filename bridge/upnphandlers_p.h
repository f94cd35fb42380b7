#pragma once

#include <libgupnp/gupnp.h>

class TmService;

// Connects the handlers of the seven actions of the two services, each with the bridge as user data
// (the state-variable queries are the query relay's).
void connectUpnpHandlers(GUPnPServiceInfo *applicationServer, GUPnPServiceInfo *clientProfile, TmService *bridge);
