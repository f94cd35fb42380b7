#include "bridge/actionrelay_p.h"

#include "bridge/tmservice_p.h"
#include "bridge/upnperrortext.h"
#include "platform/tmserver_debug.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

namespace
{

void setOutArgument(GUPnPServiceAction *action, const char *name, const QString &value)
{
    const QByteArray text = value.toLocal8Bit();
    qCDebug(lcBridge, "Sending action result : %s='%s'", name, text.constData());
    gupnp_service_action_set(action, name, G_TYPE_STRING, text.constData(), nullptr);
}

void setOutArgument(GUPnPServiceAction *action, const char *name, quint32 value)
{
    qCDebug(lcBridge, "Sending action result : %s='%u'", name, value);
    gupnp_service_action_set(action, name, G_TYPE_UINT, guint(value), nullptr);
}

} // namespace

void answerUnavailable(GUPnPServiceAction *action)
{
    // Without a description GUPnP sends its own, which it has for 401, 402, 403 and 501 only.
    gupnp_service_action_return_error(action, GUPNP_CONTROL_ERROR_ACTION_FAILED, nullptr);
}

template <typename Record>
void sendActionResult(const QDBusPendingCall &call, GUPnPServiceAction *action, const char *outArgument)
{
    // Typing the reply checks its signature: a reply of another shape turns into an error here.
    const QDBusPendingReply<Record> reply = call;
    if (reply.isError()) {
        qCDebug(
            lcBridge, "Action failed : %s '%s'", qPrintable(reply.error().name()), qPrintable(reply.error().message()));
        answerUnavailable(action);
        return;
    }
    const Record result = reply.value();
    if (result.errorCode != 0) {
        const QByteArray description = upnpErrorText(result.errorCode, result.errorText).toLocal8Bit();
        qCDebug(lcBridge, "Sending action result : %d='%s'", result.errorCode, description.constData());
        gupnp_service_action_return_error(action, guint(result.errorCode), description.constData());
        return;
    }
    setOutArgument(action, outArgument, result.value);
    gupnp_service_action_return_success(action);
}

template void sendActionResult<UpnpResult::String>(const QDBusPendingCall &, GUPnPServiceAction *, const char *);
template void sendActionResult<UpnpResult::uint32>(const QDBusPendingCall &, GUPnPServiceAction *, const char *);

void TmServicePrivate::relayAction(GUPnPServiceAction *action, const QString &method, const QList<QVariant> &arguments,
    const char *outArgument, ActionAnswer answer)
{
    auto *call = new QDBusPendingCallWatcher(q->asyncCallWithArgumentList(method, arguments), q);
    pendingActions.insert(call, PendingAction {action, outArgument, answer});
    QObject::connect(call, &QDBusPendingCallWatcher::finished, q, [this, call] { answerFinishedCall(call); });
}

void TmServicePrivate::answerFinishedCall(QDBusPendingCallWatcher *call)
{
    const auto pending = pendingActions.constFind(call);
    if (pending == pendingActions.constEnd())
        return;
    const PendingAction action = *pending;
    pendingActions.erase(pending);
    call->deleteLater();
    action.answer(*call, action.action, action.outArgument);
}

void TmServicePrivate::abandonPendingActions()
{
    const auto abandoned = std::exchange(pendingActions, {});
    for (auto pending = abandoned.constBegin(); pending != abandoned.constEnd(); ++pending) {
        delete pending.key();
        answerUnavailable(pending.value().action);
    }
}
