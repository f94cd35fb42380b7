#pragma once

#include <libgupnp/gupnp.h>

class TmService;

// Connects the handlers of the seven actions and three state-variable queries of the two services,
// each with the bridge as user data.
void connectUpnpHandlers(GUPnPServiceInfo *applicationServer, GUPnPServiceInfo *clientProfile, TmService *bridge);
