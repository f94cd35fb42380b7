#pragma once

#include "backend/upnpresult.h"

#include <libgupnp/gupnp.h>

class QDBusPendingCall;

// Answers the action with 501 and GUPnP's own description of that code.
void answerUnavailable(GUPnPServiceAction *action);

// Answers the action from the finished back-end call: the record's value as the out-argument, its
// error code with the text of upnpErrorText, or 501 when the call failed or the reply is not a Record.
template <typename Record>
void sendActionResult(const QDBusPendingCall &call, GUPnPServiceAction *action, const char *outArgument);

extern template void sendActionResult<UpnpResult::String>(const QDBusPendingCall &, GUPnPServiceAction *, const char *);
extern template void sendActionResult<UpnpResult::uint32>(const QDBusPendingCall &, GUPnPServiceAction *, const char *);
