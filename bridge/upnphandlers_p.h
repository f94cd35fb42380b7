#pragma once

class TmService;

// Connects the handlers of the seven actions of the two services, each with the bridge as user data
// (the state-variable queries are the query relay's).
void connectUpnpHandlers(TmService *bridge);
