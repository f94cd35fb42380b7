#pragma once

#include "backend/busclient.h"

#include <libgupnp/gupnp.h>

// Answers the action with 501 and GUPnP's own description of that code.
void answerUnavailable(GUPnPServiceAction *action);

// Answers the action from the back-end's reply to the method, a record (value, errorCode,
// errorText): the value as the out-argument, the error code with the text of upnpErrorText, or
// 501 when the call failed or the reply has another signature than the contract's.
void sendActionResult(
    sd_bus_message *reply, const BusMethod &method, GUPnPServiceAction *action, const char *outArgument);
