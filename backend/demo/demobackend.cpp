#include "backend/demo/demobackend.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QMap>
#include <QTimer>
#include <QUrl>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

Q_LOGGING_CATEGORY(lcDemo, "tmdemo.backend", QtInfoMsg)

namespace
{

const int appIdUnknown = 810;
const int profileMalformed = 825;
const int profileIdUnknown = 830;
const uint maxProfiles = 4;

const QString foreground = QStringLiteral("Foreground");
const QString background = QStringLiteral("Background");
const QString notRunning = QStringLiteral("Notrunning");
// The demo applications borrow the device's own icon, which the daemon serves under /icons.
const QString demoIcon = QStringLiteral("tmserverd-48.png");

struct DemoApplication {
    QString id;
    QString name;
    QString description;
    QString iconFile;
    QString status;
    uint profileId;
};

QList<DemoApplication> sampleApplications()
{
    return {
        {QStringLiteral("0x0001"), QStringLiteral("Navigation"), QStringLiteral("Turn-by-turn directions"), demoIcon,
            notRunning, 0},
        {QStringLiteral("0x0002"), QStringLiteral("Music & Radio"), QStringLiteral("Plays <local> music and radio"),
            demoIcon, notRunning, 0},
        {QStringLiteral("0x0003"), QStringLiteral("Phone"), QStringLiteral("Calls and contacts"), demoIcon, notRunning,
            0},
    };
}

QString joinedIds(const QList<DemoApplication> &applications)
{
    QStringList ids;
    for (const DemoApplication &application : applications)
        ids << application.id;
    return ids.join(QLatin1Char(','));
}

void writeStatus(QXmlStreamWriter &xml, const DemoApplication &application)
{
    xml.writeStartElement(QStringLiteral("appStatus"));
    xml.writeStartElement(QStringLiteral("status"));
    xml.writeTextElement(QStringLiteral("profileID"), QString::number(application.profileId));
    xml.writeTextElement(QStringLiteral("statusType"), application.status);
    xml.writeEndElement();
    xml.writeEndElement();
}

void writeIcon(QXmlStreamWriter &xml, const DemoApplication &application, const QUrl &urlBase)
{
    // An empty URL base leaves the icon URL relative to whatever serves the listing.
    const QUrl iconUrl = urlBase.resolved(QUrl(QStringLiteral("/icons/") + application.iconFile));
    xml.writeStartElement(QStringLiteral("iconList"));
    xml.writeStartElement(QStringLiteral("icon"));
    xml.writeTextElement(QStringLiteral("mimetype"), QStringLiteral("image/png"));
    xml.writeTextElement(QStringLiteral("width"), QStringLiteral("48"));
    xml.writeTextElement(QStringLiteral("height"), QStringLiteral("48"));
    xml.writeTextElement(QStringLiteral("depth"), QStringLiteral("24"));
    xml.writeTextElement(QStringLiteral("url"), iconUrl.toString());
    xml.writeEndElement();
    xml.writeEndElement();
}

QString appListing(const QList<DemoApplication> &applications, const QUrl &urlBase)
{
    QString text;
    QXmlStreamWriter xml(&text);
    xml.writeStartElement(QStringLiteral("appList"));
    for (const DemoApplication &application : applications) {
        xml.writeStartElement(QStringLiteral("app"));
        xml.writeTextElement(QStringLiteral("appID"), application.id);
        xml.writeTextElement(QStringLiteral("name"), application.name);
        xml.writeTextElement(QStringLiteral("description"), application.description);
        writeIcon(xml, application, urlBase);
        writeStatus(xml, application);
        xml.writeEndElement();
    }
    xml.writeEndElement();
    return text;
}

QString appStatusList(const DemoApplication &application)
{
    QString text;
    QXmlStreamWriter xml(&text);
    xml.writeStartElement(QStringLiteral("appStatusList"));
    xml.writeStartElement(QStringLiteral("appStatus"));
    xml.writeTextElement(QStringLiteral("appID"), application.id);
    xml.writeStartElement(QStringLiteral("status"));
    xml.writeTextElement(QStringLiteral("profileID"), QString::number(application.profileId));
    xml.writeTextElement(QStringLiteral("statusType"), application.status);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndElement();
    return text;
}

bool wellFormedXml(const QString &text)
{
    QXmlStreamReader reader(text);
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

UpnpResult::String failure(int errorCode)
{
    UpnpResult::String result;
    result.errorCode = errorCode;
    return result;
}

} // namespace

class DemoBackendPrivate
{
public:
    DemoApplication *find(const QString &appId)
    {
        for (DemoApplication &application : applications) {
            if (application.id == appId)
                return &application;
        }
        return nullptr;
    }

    QString unusedProfileIds() const
    {
        QStringList ids;
        for (uint id = 0; id < maxProfiles; ++id) {
            if (!profiles.contains(id))
                ids << QString::number(id);
        }
        return ids.join(QLatin1Char(','));
    }

    QList<DemoApplication> applications = sampleApplications();
    QMap<uint, QString> profiles;
    // Both update states start out naming every application, as if the listing had just been published.
    QString appListUpdateState = joinedIds(applications);
    QString appStatusUpdateState = appListUpdateState;
    int replyDelay = 0;
};

DemoBackend::DemoBackend(int replyDelayMs, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<DemoBackendPrivate>())
{
    d->replyDelay = replyDelayMs;
}

DemoBackend::~DemoBackend() = default;

template <typename Reply>
Reply DemoBackend::answer(const Reply &reply)
{
    if (d->replyDelay > 0 && calledFromDBus()) {
        setDelayedReply(true);
        const QDBusMessage response = message().createReply(QVariant::fromValue(reply));
        QTimer::singleShot(d->replyDelay, this, [bus = connection(), response]() { bus.send(response); });
    }
    return reply;
}

UpnpResult::String DemoBackend::GetApplicationList(const QString &, uint, const QString &urlBase)
{
    UpnpResult::String result;
    result.value = appListing(d->applications, QUrl(urlBase));
    return answer(result);
}

UpnpResult::String DemoBackend::LaunchApplication(const QString &appId, uint profileId)
{
    UpnpResult::String result = changeStatus(appId, profileId, foreground);
    if (result.errorCode == 0)
        result.value = QStringLiteral("demo://application/") + appId;
    return answer(result);
}

UpnpResult::String DemoBackend::TerminateApplication(const QString &appId, uint profileId)
{
    UpnpResult::String result = changeStatus(appId, profileId, notRunning);
    if (result.errorCode == 0)
        result.value = QStringLiteral("true");
    return answer(result);
}

UpnpResult::String DemoBackend::GetApplicationStatus(const QString &appId)
{
    const DemoApplication *application = d->find(appId);
    if (!application)
        return answer(failure(appIdUnknown));
    UpnpResult::String result;
    result.value = appStatusList(*application);
    return answer(result);
}

UpnpResult::uint32 DemoBackend::GetMaxNumProfiles()
{
    UpnpResult::uint32 result;
    result.value = maxProfiles;
    return answer(result);
}

UpnpResult::String DemoBackend::SetClientProfile(uint profileId, const QString &clientProfile)
{
    if (profileId >= maxProfiles)
        return answer(failure(profileIdUnknown));
    if (!wellFormedXml(clientProfile))
        return answer(failure(profileMalformed));
    const QString unusedBefore = d->unusedProfileIds();
    d->profiles.insert(profileId, clientProfile);
    qCInfo(lcDemo, "Client profile %u stored", profileId);
    const QString unusedAfter = d->unusedProfileIds();
    if (unusedAfter != unusedBefore)
        Q_EMIT UnusedProfileIDsChanged(unusedAfter);
    UpnpResult::String result;
    result.value = clientProfile;
    return answer(result);
}

UpnpResult::String DemoBackend::GetClientProfile(uint profileId)
{
    if (profileId >= maxProfiles)
        return answer(failure(profileIdUnknown));
    UpnpResult::String result;
    result.value = d->profiles.value(profileId);
    return answer(result);
}

QString DemoBackend::GetUnusedProfileIDs()
{
    return answer(d->unusedProfileIds());
}

QString DemoBackend::GetAppListUpdateState()
{
    return answer(d->appListUpdateState);
}

QString DemoBackend::GetAppStatusUpdateState()
{
    return answer(d->appStatusUpdateState);
}

UpnpResult::String DemoBackend::changeStatus(const QString &appId, uint profileId, const QString &status)
{
    DemoApplication *target = d->find(appId);
    if (!target)
        return failure(appIdUnknown);
    QStringList changedIds;
    for (DemoApplication &application : d->applications) {
        QString newStatus = application.status;
        if (&application == target) {
            newStatus = status;
            application.profileId = profileId;
        } else if (status == foreground && application.status == foreground)
            newStatus = background;
        if (newStatus == application.status)
            continue;
        application.status = newStatus;
        changedIds << application.id;
        qCInfo(lcDemo, "Application %s is now %s", qUtf8Printable(application.id), qUtf8Printable(newStatus));
    }
    if (!changedIds.isEmpty()) {
        // The listing carries each application's status, so a status change is a listing change too.
        d->appStatusUpdateState = d->appListUpdateState = changedIds.join(QLatin1Char(','));
        Q_EMIT AppStatusUpdateStateChanged(d->appStatusUpdateState);
        Q_EMIT AppListUpdateStateChanged(d->appListUpdateState);
    }
    return UpnpResult::String();
}
