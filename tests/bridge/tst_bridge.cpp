// The bridge between a real GUPnP root device on usb0 and a scripted back-end on a private
// session bus; the head unit's side is plain HTTP from the same process.
#include "backend/upnpresult.h"
#include "bridge/tmservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <memory>

namespace
{

const QString backendName = QStringLiteral("com.quorvex.VehiraServer");
const char applicationServerType[] = "urn:schemas-upnp-org:service:TmApplicationServer:1";
const char clientProfileType[] = "urn:schemas-upnp-org:service:TmClientProfile:1";
const char applicationServerControl[] = "/control/TmApplicationServer1";
const char clientProfileControl[] = "/control/TmClientProfile1";
const int answerTimeoutMs = 10000;

using Arguments = QList<QPair<QString, QString>>;

// Leaf elements of an XML document in document order: the out-arguments of a SOAP answer, the
// fields of a SOAP fault, or the variables of an event.
Arguments leafElements(const QByteArray &xml)
{
    Arguments leaves;
    QXmlStreamReader reader(xml);
    QString text;
    bool leaf = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            leaf = true;
            text.clear();
        } else if (reader.isCharacters()) {
            text += reader.text();
        } else if (reader.isEndElement()) {
            if (leaf)
                leaves.append({reader.name().toString(), text});
            leaf = false;
        }
    }
    return leaves;
}

QString valueOf(const Arguments &arguments, const QString &name)
{
    for (const auto &argument : arguments) {
        if (argument.first == name)
            return argument.second;
    }
    return QString();
}

struct HttpExchange {
    bool done = false;
    int status = 0;
    QByteArray body;
    int order = -1;
    QElapsedTimer sent;
    qint64 answeredAfterMs = -1;
    int upnpError() const
    {
        return valueOf(leafElements(body), QStringLiteral("errorCode")).toInt();
    }
    QString errorDescription() const
    {
        return valueOf(leafElements(body), QStringLiteral("errorDescription"));
    }
    QString out(const char *name) const
    {
        return valueOf(leafElements(body), QLatin1String(name));
    }
};
using Exchange = std::shared_ptr<HttpExchange>;

// The head unit: SOAP calls and subscriptions, all asynchronous, many at a time.
class HeadUnit
{
public:
    explicit HeadUnit(const QByteArray &serverBase)
        : m_base(serverBase)
        , m_session(soup_session_new_with_options("max-conns", 64, "max-conns-per-host", 64, nullptr))
    {
    }
    ~HeadUnit()
    {
        g_object_unref(m_session);
    }

    Exchange call(const char *control, const char *serviceType, const char *action, const Arguments &arguments = {})
    {
        QByteArray body = "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                          "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:"
            + QByteArray(action) + " xmlns:u=\"" + serviceType + "\">";
        for (const auto &argument : arguments)
            body += '<' + argument.first.toUtf8() + '>' + argument.second.toHtmlEscaped().toUtf8() + "</"
                + argument.first.toUtf8() + '>';
        body += "</u:" + QByteArray(action) + "></s:Body></s:Envelope>";
        SoupMessage *message = soup_message_new("POST", (m_base + control).constData());
        soup_message_headers_append(soup_message_get_request_headers(message), "SOAPACTION",
            "\"" + QByteArray(serviceType) + '#' + action + "\"");
        GBytes *bytes = g_bytes_new(body.constData(), gsize(body.size()));
        soup_message_set_request_body_from_bytes(message, "text/xml; charset=\"utf-8\"", bytes);
        g_bytes_unref(bytes);
        return send(message);
    }

    // Calls an action on whichever of the two services has it.
    Exchange action(const char *name, const Arguments &arguments = {})
    {
        const bool clientProfile = QByteArray(name).contains("Profile");
        return call(clientProfile ? clientProfileControl : applicationServerControl,
            clientProfile ? clientProfileType : applicationServerType, name, arguments);
    }

    Exchange queryVariable(const char *variable)
    {
        const bool clientProfile = QByteArray(variable).contains("Profile");
        return call(clientProfile ? clientProfileControl : applicationServerControl, "urn:schemas-upnp-org:control-1-0",
            "QueryStateVariable", {{QStringLiteral("varName"), QLatin1String(variable)}});
    }

    Exchange subscribe(const char *eventPath, const QByteArray &callback)
    {
        SoupMessage *message = soup_message_new("SUBSCRIBE", (m_base + eventPath).constData());
        SoupMessageHeaders *headers = soup_message_get_request_headers(message);
        soup_message_headers_append(headers, "CALLBACK", ('<' + callback + '>').constData());
        soup_message_headers_append(headers, "NT", "upnp:event");
        soup_message_headers_append(headers, "TIMEOUT", "Second-300");
        return send(message);
    }

private:
    struct Pending {
        HeadUnit *headUnit;
        SoupMessage *message;
        Exchange exchange;
    };

    Exchange send(SoupMessage *message)
    {
        auto exchange = std::make_shared<HttpExchange>();
        exchange->sent.start();
        soup_session_send_and_read_async(
            m_session, message, G_PRIORITY_DEFAULT, nullptr, &received, new Pending {this, message, exchange});
        return exchange;
    }

    static void received(GObject *session, GAsyncResult *result, gpointer pendingData)
    {
        std::unique_ptr<Pending> pending(static_cast<Pending *>(pendingData));
        GBytes *body = soup_session_send_and_read_finish(SOUP_SESSION(session), result, nullptr);
        HttpExchange &exchange = *pending->exchange;
        if (body) {
            gsize size = 0;
            const char *data = static_cast<const char *>(g_bytes_get_data(body, &size));
            exchange.body = QByteArray(data, qsizetype(size));
            g_bytes_unref(body);
        }
        exchange.status = int(soup_message_get_status(pending->message));
        exchange.order = pending->headUnit->m_answered++;
        exchange.answeredAfterMs = exchange.sent.elapsed();
        exchange.done = true;
        g_object_unref(pending->message);
    }

    QByteArray m_base;
    SoupSession *m_session;
    int m_answered = 0;
};

bool waitForAll(const QList<Exchange> &exchanges, int timeoutMs = answerTimeoutMs)
{
    return QTest::qWaitFor(
        [&] { return std::all_of(exchanges.begin(), exchanges.end(), [](const Exchange &e) { return e->done; }); },
        timeoutMs);
}

// Receives the events of both services on the head unit's end of the link.
class EventSink
{
public:
    EventSink()
        : m_server(soup_server_new(nullptr, nullptr))
    {
        soup_server_add_handler(m_server, nullptr, &received, this, nullptr);
        GInetAddress *address = g_inet_address_new_from_string("10.77.0.2");
        GSocketAddress *socketAddress = g_inet_socket_address_new(address, 0);
        soup_server_listen(m_server, socketAddress, SoupServerListenOptions(0), nullptr);
        g_object_unref(socketAddress);
        g_object_unref(address);
        GSList *uris = soup_server_get_uris(m_server);
        if (uris)
            m_port = g_uri_get_port(static_cast<GUri *>(uris->data));
        g_slist_free_full(uris, GDestroyNotify(g_uri_unref));
    }
    ~EventSink()
    {
        g_object_unref(m_server);
    }
    QByteArray callback(const char *path) const
    {
        return "http://10.77.0.2:" + QByteArray::number(m_port) + path;
    }
    // Variable=value of every event received at the path, in order.
    QStringList events(const char *path) const
    {
        return m_events.value(QLatin1String(path));
    }

private:
    static void received(SoupServer *, SoupServerMessage *message, const char *path, GHashTable *, gpointer sinkData)
    {
        auto *sink = static_cast<EventSink *>(sinkData);
        SoupMessageBody *body = soup_server_message_get_request_body(message);
        for (const auto &variable : leafElements(QByteArray(body->data, qsizetype(body->length))))
            sink->m_events[QLatin1String(path)].append(variable.first + QLatin1Char('=') + variable.second);
        soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
    }

    SoupServer *m_server;
    int m_port = 0;
    QHash<QString, QStringList> m_events;
};

// The scripted back-end process and its control interface (see tests/fakes/fake_backend.py).
class FakeBackend
{
public:
    ~FakeBackend()
    {
        stop();
    }
    bool start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(FAKE_BACKEND), {});
        return QTest::qWaitFor(
            [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(backendName).value(); },
            answerTimeoutMs);
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(answerTimeoutMs);
    }
    bool running() const
    {
        return m_process.state() == QProcess::Running;
    }
    void program(const QString &method, const QVariant &value, int errorCode = 0, const QString &errorText = {},
        uint delayMs = 0)
    {
        control("Program", {method, QVariant::fromValue(QDBusVariant(value)), errorCode, errorText, delayMs});
    }
    QJsonArray calls()
    {
        const QDBusMessage reply = control("CallLog");
        return QJsonDocument::fromJson(reply.arguments().value(0).toString().toUtf8()).array();
    }
    bool waitForCalls(int count)
    {
        return QTest::qWaitFor([&] { return calls().size() >= count; }, answerTimeoutMs);
    }
    QDBusMessage control(const char *method, const QList<QVariant> &arguments = {})
    {
        QDBusMessage call = QDBusMessage::createMethodCall(backendName, QStringLiteral("/"),
            QStringLiteral("com.quorvex.VehiraServer.FakeControl"), QLatin1String(method));
        call.setArguments(arguments);
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
        if (reply.type() == QDBusMessage::ErrorMessage)
            qWarning("fake back-end control %s failed: %s", method, qPrintable(reply.errorMessage()));
        return reply;
    }

private:
    QProcess m_process;
};

} // namespace

class BridgeTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void absentBackendGives501AndEmptyValues();
    void actionsReachBackendArgumentForArgument_data();
    void actionsReachBackendArgumentForArgument();
    void repliesBecomeUpnpAnswers_data();
    void repliesBecomeUpnpAnswers();
    void backendLeavingMidCallGives501();
    void concurrentActionsAnsweredInReplyOrder();
    void queriesReturnBackendText_data();
    void queriesReturnBackendText();
    void queriesWaitingTogether();
    void subscribersGetCurrentValuesAndEveryChange();
    // These two end the application's event loops and the bridge: they run last.
    void queryWaitEndsWhenApplicationQuits();
    void destroyingBridgeAnswersPendingActions();

private:
    QTemporaryDir m_descriptionDir;
    GUPnPContext *m_context = nullptr;
    GUPnPRootDevice *m_rootDevice = nullptr;
    TmService *m_bridge = nullptr;
    std::unique_ptr<HeadUnit> m_headUnit;
    std::unique_ptr<EventSink> m_events;
    FakeBackend m_backend;
    QByteArray m_serverBase;
};

void BridgeTest::initTestCase()
{
    // A double answer or a 501 without description for an unknown code shows up as a critical.
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
    UpnpResult::registerUpnpResults();
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "needs a private session bus (with-session-bus.sh)");

    GError *error = nullptr;
    m_context = gupnp_context_new_full("usb0", nullptr, 0, GSSDP_UDA_VERSION_1_0, &error);
    QVERIFY2(m_context, error ? error->message : "needs the usb0 link (with-usb-link.sh)");
    m_serverBase = "http://" + QByteArray(gssdp_client_get_host_ip(GSSDP_CLIENT(m_context))) + ':'
        + QByteArray::number(gupnp_context_get_port(m_context));

    QFile templateFile(QStringLiteral(DATA_DIR "/xml/tmserverdevice.xml"));
    QVERIFY(templateFile.open(QIODevice::ReadOnly));
    QByteArray description = templateFile.readAll();
    description.replace("<UDN></UDN>", "<UDN>uuid:5c6f1e2a-0d41-4a7b-9f3e-2b8c9d0e1f20</UDN>");
    const QString descriptionPath = m_descriptionDir.filePath(QStringLiteral("tmserverdevice.xml"));
    QFile descriptionFile(descriptionPath);
    QVERIFY(descriptionFile.open(QIODevice::WriteOnly) && descriptionFile.write(description) == description.size());
    descriptionFile.close();
    m_rootDevice = gupnp_root_device_new(
        m_context, descriptionPath.toLatin1().constData(), m_descriptionDir.path().toLatin1().constData(), &error);
    QVERIFY2(m_rootDevice, error ? error->message : "no root device");
    // As in the daemon: the installation directory, with the service descriptions, replaces the
    // root device's own hosting at "/".
    gupnp_context_host_path(m_context, DATA_DIR "/", "/");

    // Made before the back-end is on the bus, as in the daemon.
    m_bridge = new TmService(nullptr, backendName, QStringLiteral("/"));
    QVERIFY(m_bridge->bindToRootDevice(m_rootDevice));
    m_headUnit = std::make_unique<HeadUnit>(m_serverBase);
    m_events = std::make_unique<EventSink>();
}

void BridgeTest::init()
{
    if (QByteArray(QTest::currentTestFunction()) == "absentBackendGives501AndEmptyValues")
        return;
    if (!m_backend.running()) {
        QVERIFY(m_backend.start());
        QVERIFY(QTest::qWaitFor([this] { return m_bridge->isValid(); }, answerTimeoutMs));
    }
    m_backend.control("Reset");
}

void BridgeTest::cleanupTestCase()
{
    m_backend.stop();
    m_headUnit.reset();
    m_events.reset();
    delete m_bridge;
    if (m_rootDevice)
        g_object_unref(m_rootDevice);
    if (m_context)
        g_object_unref(m_context);
}

void BridgeTest::absentBackendGives501AndEmptyValues()
{
    const Exchange action = m_headUnit->action("LaunchApplication", {{QStringLiteral("AppID"), QStringLiteral("1")}});
    const Exchange query = m_headUnit->queryVariable("AppListUpdate");
    QVERIFY(waitForAll({action, query}));
    QCOMPARE(action->upnpError(), 501);
    QCOMPARE(query->status, 200);
    QCOMPARE(query->out("AppListUpdate"), QString());
}

void BridgeTest::actionsReachBackendArgumentForArgument_data()
{
    QTest::addColumn<QByteArray>("action");
    QTest::addColumn<Arguments>("arguments");
    QTest::addColumn<QByteArray>("outArgument");
    QTest::addColumn<QString>("backendArguments");

    const auto row = [](const char *name, const char *action, const Arguments &arguments, const char *out,
                         const char *backendArguments) {
        QTest::newRow(name) << QByteArray(action) << arguments << QByteArray(out)
                            << QString::fromUtf8(backendArguments);
    };
    const QString profileId = QStringLiteral("ProfileID");
    const QString appId = QStringLiteral("AppID");
    // The URL base is checked on its own below; "URL" stands for it here.
    row("list", "GetApplicationList",
        {{QStringLiteral("AppListingFilter"), QStringLiteral("icon@mimetype=\"*png\"")},
            {profileId, QStringLiteral("3")}},
        "AppListing", "icon@mimetype=\"*png\"|3|URL");
    row("list without arguments", "GetApplicationList", {}, "AppListing", "|0|URL");
    row("launch", "LaunchApplication", {{appId, QStringLiteral("0x11")}, {profileId, QStringLiteral("2")}}, "AppURI",
        "0x11|2");
    row("launch without arguments", "LaunchApplication", {}, "AppURI", "|0");
    row("terminate", "TerminateApplication",
        {{appId, QStringLiteral("0x12")}, {profileId, QStringLiteral("4294967295")}}, "TerminationResult",
        "0x12|4294967295");
    row("status", "GetApplicationStatus", {{appId, QStringLiteral("0x13")}}, "AppStatus", "0x13");
    row("set profile", "SetClientProfile",
        {{profileId, QStringLiteral("1")},
            {QStringLiteral("ClientProfile"), QStringLiteral("<clientProfile>é</clientProfile>")}},
        "ResultProfile", "1|<clientProfile>é</clientProfile>");
    row("set profile without arguments", "SetClientProfile", {}, "ResultProfile", "0|");
    row("get profile", "GetClientProfile", {{profileId, QStringLiteral("7")}}, "ClientProfile", "7");
}

void BridgeTest::actionsReachBackendArgumentForArgument()
{
    QFETCH(QByteArray, action);
    QFETCH(Arguments, arguments);
    QFETCH(QByteArray, outArgument);
    QFETCH(QString, backendArguments);
    m_backend.control("SetReplyMode", {QString::fromLatin1(action), QStringLiteral("echo")});

    const Exchange exchange = m_headUnit->action(action, arguments);
    QVERIFY(waitForAll({exchange}));
    QCOMPARE(exchange->status, 200);

    const QJsonArray calls = m_backend.calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0][QLatin1String("method")].toString(), QString::fromLatin1(action));
    // The echo is the back-end's answer, and the out-argument carries it unchanged.
    QString echo = exchange->out(outArgument.constData());
    const QString urlBase = QString::fromLatin1(m_serverBase) + QLatin1Char('/');
    if (action == "GetApplicationList") {
        const QString sentUrlBase = echo.section(QLatin1Char('|'), 2);
        QVERIFY2(sentUrlBase.startsWith(urlBase), qPrintable(sentUrlBase));
        echo = echo.section(QLatin1Char('|'), 0, 1) + QLatin1String("|URL");
    }
    QCOMPARE(echo, backendArguments);
}

void BridgeTest::repliesBecomeUpnpAnswers_data()
{
    QTest::addColumn<QByteArray>("action");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QString>("replyMode");
    QTest::addColumn<int>("expectedError");
    QTest::addColumn<QString>("expected"); // the out-argument, or the error description

    const auto row = [](const char *name, const char *action, const QVariant &value, int code, const char *text,
                         const char *mode, int expectedError, const char *expected) {
        QTest::newRow(name) << QByteArray(action) << value << code << QString::fromUtf8(text)
                            << QString::fromLatin1(mode) << expectedError << QString::fromUtf8(expected);
    };
    const QVariant none = QStringLiteral("ignored");
    row("empty value", "LaunchApplication", QStringLiteral(""), 0, "", "normal", 0, "");
    row("error text ignored on success", "LaunchApplication", QStringLiteral("rtp://1"), 0, "text", "normal", 0,
        "rtp://1");
    row("table code", "LaunchApplication", none, 813, "", "normal", 813, "Failed to launch the application.");
    row("own text", "GetApplicationStatus", none, 810, "Unknown 0x5", "normal", 810, "Unknown 0x5");
    row("unknown code", "TerminateApplication", none, 999, "", "normal", 999,
        "The error code 999 has no known error text");
    row("code GUPnP knows, from the back-end", "LaunchApplication", none, 501, "", "normal", 501,
        "MAY be returned if current state of service prevents invoking that action.");
    row("code GUPnP does not know", "GetClientProfile", none, 830, "", "normal", 830,
        "The profile identifier does not exist or the application cannot use the specified profile identifier.");
    row("wrong reply signature", "LaunchApplication", none, 0, "", "wrong-signature", 501, "");
    row("D-Bus error reply", "LaunchApplication", none, 0, "", "dbus-error", 501, "");
    row("count", "GetMaxNumProfiles", QVariant(uint(4)), 0, "", "normal", 0, "4");
    row("count of zero", "GetMaxNumProfiles", QVariant(uint(0)), 0, "", "normal", 0, "0");
    row("count with error", "GetMaxNumProfiles", QVariant(uint(4)), 701, "", "normal", 701,
        "The service has rejected the operation.");
    row("count of wrong signature", "GetMaxNumProfiles", QVariant(uint(4)), 0, "", "wrong-signature", 501, "");
}

void BridgeTest::repliesBecomeUpnpAnswers()
{
    QFETCH(QByteArray, action);
    QFETCH(QVariant, value);
    QFETCH(int, errorCode);
    QFETCH(QString, errorText);
    QFETCH(QString, replyMode);
    QFETCH(int, expectedError);
    QFETCH(QString, expected);
    const QString method = QString::fromLatin1(action);
    m_backend.program(method, value, errorCode, errorText);
    m_backend.control("SetReplyMode", {method, replyMode});
    const Exchange exchange = m_headUnit->action(action);
    QVERIFY(waitForAll({exchange}));
    QCOMPARE(m_backend.calls().size(), 1);
    QCOMPARE(exchange->upnpError(), expectedError);
    if (expectedError == 0) {
        QCOMPARE(exchange->status, 200);
        const Arguments out = leafElements(exchange->body);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out[0].second, expected);
    } else if (!expected.isEmpty()) {
        QCOMPARE(exchange->errorDescription(), expected);
    }
}

void BridgeTest::backendLeavingMidCallGives501()
{
    m_backend.program(QStringLiteral("LaunchApplication"), QStringLiteral("late"), 0, QString(), 8000);
    const QList<Exchange> exchanges
        = {m_headUnit->action("LaunchApplication"), m_headUnit->action("LaunchApplication")};
    QVERIFY(m_backend.waitForCalls(2));
    m_backend.stop();
    QVERIFY(waitForAll(exchanges, 4000));
    for (const Exchange &exchange : exchanges)
        QCOMPARE(exchange->upnpError(), 501);

    // A back-end that comes back is used again.
    QVERIFY(m_backend.start());
    QVERIFY(QTest::qWaitFor([this] { return m_bridge->isValid(); }, answerTimeoutMs));
    const Exchange next = m_headUnit->action("LaunchApplication");
    QVERIFY(waitForAll({next}));
    QCOMPARE(next->status, 200);
}

void BridgeTest::concurrentActionsAnsweredInReplyOrder()
{
    const QString method = QStringLiteral("LaunchApplication");
    m_backend.control("SetReplyMode", {method, QStringLiteral("echo")});
    m_backend.program(method, QString(), 0, QString(), 1500);
    const Exchange slow = m_headUnit->action("LaunchApplication",
        {{QStringLiteral("AppID"), QStringLiteral("slow")}, {QStringLiteral("ProfileID"), QStringLiteral("1")}});
    QVERIFY(m_backend.waitForCalls(1));

    m_backend.program(method, QString(), 0, QString(), 300);
    QList<Exchange> fast;
    for (int i = 0; i < 19; ++i) {
        fast.append(m_headUnit->action("LaunchApplication",
            {{QStringLiteral("AppID"), QString::number(i)}, {QStringLiteral("ProfileID"), QStringLiteral("1")}}));
        // The HTTP server's listen backlog is ten; a larger burst of new connections waits a second.
        if (i % 8 == 7 || i == 18)
            QVERIFY(m_backend.waitForCalls(i + 2));
    }
    QVERIFY(waitForAll(fast + QList<Exchange> {slow}));

    // All twenty were pending at once, and each was answered as soon as its reply came: the
    // later calls overtake the first one.
    const QJsonArray calls = m_backend.calls();
    QCOMPARE(calls.size(), 20);
    double lastReceived = 0;
    double firstReplied = 1e9;
    for (const QJsonValue &call : calls) {
        lastReceived = qMax(lastReceived, call[QLatin1String("received")].toDouble());
        firstReplied = qMin(firstReplied, call[QLatin1String("replied")].toDouble());
    }
    QVERIFY(lastReceived < firstReplied);
    for (int i = 0; i < fast.size(); ++i) {
        QCOMPARE(fast[i]->out("AppURI"), QString::number(i) + QLatin1String("|1"));
        QVERIFY2(fast[i]->answeredAfterMs < 1000, qPrintable(QString::number(fast[i]->answeredAfterMs)));
        QVERIFY(fast[i]->order < slow->order);
    }
    QCOMPARE(slow->out("AppURI"), QStringLiteral("slow|1"));
    QVERIFY2(slow->answeredAfterMs >= 1500 && slow->answeredAfterMs < 2500,
        qPrintable(QString::number(slow->answeredAfterMs)));
}

void BridgeTest::queriesReturnBackendText_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("replyMode");
    QTest::addColumn<QString>("expected");

    const auto row
        = [](const char *name, const char *variable, const char *method, const char *mode, const char *expected) {
              QTest::newRow(name) << QByteArray(variable) << QString::fromLatin1(method) << QString::fromLatin1(mode)
                                  << QString::fromUtf8(expected);
          };
    row("app list", "AppListUpdate", "GetAppListUpdateState", "normal", "value of GetAppListUpdateState");
    row("app status", "AppStatusUpdate", "GetAppStatusUpdateState", "normal", "value of GetAppStatusUpdateState");
    row("unused profiles", "UnusedProfileIDs", "GetUnusedProfileIDs", "normal", "value of GetUnusedProfileIDs");
    row("D-Bus error", "AppListUpdate", "GetAppListUpdateState", "dbus-error", "");
    row("wrong signature", "UnusedProfileIDs", "GetUnusedProfileIDs", "wrong-signature", "");
}

void BridgeTest::queriesReturnBackendText()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, method);
    QFETCH(QString, replyMode);
    QFETCH(QString, expected);
    m_backend.program(method, QLatin1String("value of ") + method);
    m_backend.control("SetReplyMode", {method, replyMode});

    const Exchange query = m_headUnit->queryVariable(variable);
    QVERIFY(waitForAll({query}));
    QCOMPARE(query->status, 200);
    QCOMPARE(query->out(variable.constData()), expected);
    const QJsonArray calls = m_backend.calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0][QLatin1String("method")].toString(), method);
}

void BridgeTest::queriesWaitingTogether()
{
    m_backend.program(QStringLiteral("GetAppListUpdateState"), QStringLiteral("list"), 0, QString(), 300);
    m_backend.program(QStringLiteral("GetUnusedProfileIDs"), QStringLiteral("1,2"), 0, QString(), 300);
    const QList<Exchange> queries = {m_headUnit->queryVariable("AppListUpdate"),
        m_headUnit->queryVariable("AppListUpdate"), m_headUnit->queryVariable("UnusedProfileIDs")};
    QVERIFY(waitForAll(queries));
    QCOMPARE(queries[0]->out("AppListUpdate"), QStringLiteral("list"));
    QCOMPARE(queries[1]->out("AppListUpdate"), QStringLiteral("list"));
    QCOMPARE(queries[2]->out("UnusedProfileIDs"), QStringLiteral("1,2"));
}

void BridgeTest::subscribersGetCurrentValuesAndEveryChange()
{
    m_backend.program(QStringLiteral("GetAppListUpdateState"), QStringLiteral("list 1"));
    m_backend.program(QStringLiteral("GetAppStatusUpdateState"), QStringLiteral("status 1"));
    m_backend.program(QStringLiteral("GetUnusedProfileIDs"), QStringLiteral("0,1"));
    const char *applicationEvents = "/application";
    const char *profileEvents = "/profile";
    const QList<Exchange> subscriptions
        = {m_headUnit->subscribe("/event/TmApplicationServer1", m_events->callback(applicationEvents)),
            m_headUnit->subscribe("/event/TmClientProfile1", m_events->callback(profileEvents))};
    QVERIFY(waitForAll(subscriptions));
    QCOMPARE(subscriptions[0]->status, 200);
    QCOMPARE(subscriptions[1]->status, 200);
    QVERIFY(QTest::qWaitFor([&] { return m_events->events(profileEvents).size() == 1; }, answerTimeoutMs));
    QVERIFY(QTest::qWaitFor([&] { return m_events->events(applicationEvents).size() == 2; }, answerTimeoutMs));
    QStringList initial = m_events->events(applicationEvents);
    initial.sort();
    QCOMPARE(
        initial, QStringList({QStringLiteral("AppListUpdate=list 1"), QStringLiteral("AppStatusUpdate=status 1")}));
    QCOMPARE(m_events->events(profileEvents), QStringList {QStringLiteral("UnusedProfileIDs=0,1")});

    m_backend.control("Emit", {QStringLiteral("AppListUpdateStateChanged"), QStringLiteral("list 2")});
    m_backend.control("Emit", {QStringLiteral("AppListUpdateStateChanged"), QStringLiteral("list 2")});
    m_backend.control("Emit", {QStringLiteral("AppStatusUpdateStateChanged"), QString()});
    m_backend.control("Emit", {QStringLiteral("UnusedProfileIDsChanged"), QString()});
    // The last events of each service tell when everything before them has arrived.
    m_backend.control("Emit", {QStringLiteral("AppStatusUpdateStateChanged"), QStringLiteral("end")});
    m_backend.control("Emit", {QStringLiteral("UnusedProfileIDsChanged"), QStringLiteral("end")});
    QVERIFY(QTest::qWaitFor(
        [&] { return m_events->events(applicationEvents).endsWith(QStringLiteral("AppStatusUpdate=end")); },
        answerTimeoutMs));
    QVERIFY(QTest::qWaitFor(
        [&] { return m_events->events(profileEvents).endsWith(QStringLiteral("UnusedProfileIDs=end")); },
        answerTimeoutMs));
    QCOMPARE(m_events->events(applicationEvents).mid(2),
        QStringList({QStringLiteral("AppListUpdate=list 2"), QStringLiteral("AppListUpdate=list 2"),
            QStringLiteral("AppStatusUpdate="), QStringLiteral("AppStatusUpdate=end")}));
    QCOMPARE(m_events->events(profileEvents).mid(1),
        QStringList({QStringLiteral("UnusedProfileIDs="), QStringLiteral("UnusedProfileIDs=end")}));
}

void BridgeTest::queryWaitEndsWhenApplicationQuits()
{
    m_backend.program(QStringLiteral("GetAppStatusUpdateState"), QStringLiteral("too late"), 0, QString(), 3000);
    const Exchange query = m_headUnit->queryVariable("AppStatusUpdate");
    // The handler's wait sits on top of this test's own wait, so the quit has to come from a timer.
    QTimer::singleShot(500, [] { QCoreApplication::exit(0); });
    QVERIFY(waitForAll({query}));
    QCOMPARE(query->status, 200);
    QCOMPARE(query->out("AppStatusUpdate"), QString());
    QVERIFY2(query->answeredAfterMs < 2500, qPrintable(QString::number(query->answeredAfterMs)));
}

void BridgeTest::destroyingBridgeAnswersPendingActions()
{
    m_backend.program(QStringLiteral("LaunchApplication"), QStringLiteral("late"), 0, QString(), 1000);
    m_backend.program(QStringLiteral("GetMaxNumProfiles"), uint(3), 0, QString(), 1000);
    const QList<Exchange> exchanges = {m_headUnit->action("LaunchApplication"), m_headUnit->action("LaunchApplication"),
        m_headUnit->action("GetMaxNumProfiles")};
    QVERIFY(m_backend.waitForCalls(3));
    delete m_bridge;
    m_bridge = nullptr;
    QVERIFY(waitForAll(exchanges, 900));
    for (const Exchange &exchange : exchanges)
        QCOMPARE(exchange->upnpError(), 501);
    // The late replies find nobody waiting.
    QTest::qWait(1300);
}

QTEST_GUILESS_MAIN(BridgeTest)
#include "tst_bridge.moc"
