#include "bridge/tmservice.h"
#include "descriptionfixture.h"
#include "device/tmserverdevice.h"
#include "privatesystembus.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <libgupnp/gupnp.h>

#include <memory>

namespace
{

const char deviceType[] = "urn:schemas-upnp-org:device:TmServerDevice:1";
const QByteArray clientProfileService = QByteArrayLiteral(R"(      <service>
        <serviceType>urn:schemas-upnp-org:service:TmClientProfile:1</serviceType>
        <serviceId>urn:upnp-org:serviceId:TmClientProfile1</serviceId>
        <SCPDURL>/xml/TmClientProfile.xml</SCPDURL>
        <controlURL>/control/TmClientProfile1</controlURL>
        <eventSubURL>/event/TmClientProfile1</eventSubURL>
      </service>
)");

// Watches usb0 for a root device of one type. (Within one network namespace hu0 never hears
// the answers to its searches: the kernel delivers them to the local address.)
class LinkWatcher
{
public:
    explicit LinkWatcher(const char *type)
        : client(gssdp_client_new_full("usb0", nullptr, 0, GSSDP_UDA_VERSION_1_0, nullptr))
    {
        if (!client)
            return;
        browser = gssdp_resource_browser_new(client, type);
        g_signal_connect(browser, "resource-available", G_CALLBACK(markSeen), &seen);
        gssdp_resource_browser_set_active(browser, TRUE);
    }
    ~LinkWatcher()
    {
        g_clear_object(&browser);
        g_clear_object(&client);
    }
    bool waitForDevice(int milliseconds)
    {
        const QDeadlineTimer deadline(milliseconds);
        while (!seen && !deadline.hasExpired())
            QTest::qWait(50);
        return seen;
    }

private:
    static void markSeen(GSSDPResourceBrowser *, const char *, GList *, gpointer seen)
    {
        *static_cast<bool *>(seen) = true;
    }

    GSSDPClient *client;
    GSSDPResourceBrowser *browser = nullptr;
    bool seen = false;
};

} // namespace

class TestServerDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void nullContextDoesNothing();
    void secondCreateChangesNothing();
    void missingTemplate();
    void bridgeMissingButAnnounced();
    void temporaryFileNamingAndRemoval();
    void descriptionDirWithOrWithoutSlash_data();
    void descriptionDirWithOrWithoutSlash();

private:
    PrivateSystemBus bus;
    GUPnPContext *context = nullptr;
};

void TestServerDevice::initTestCase()
{
    QVERIFY2(bus.start(), "cannot start a private system bus");
    context = openUsbLinkContext();
    QVERIFY(context);
}

void TestServerDevice::cleanupTestCase()
{
    g_clear_object(&context);
}

void TestServerDevice::nullContextDoesNothing()
{
    DescriptionFixture fixture;
    QVERIFY(fixture.isValid());
    const QString hostnamedLog = QDir(bus.directory()).filePath(QStringLiteral("hostnamed.log"));
    QProcess *hostnamed
        = bus.startHostnamed({{QStringLiteral("PrettyHostname"), QStringLiteral("Ada's phone")}}, hostnamedLog);
    QVERIFY(hostnamed);
    QProcess *bluez = bus.startService(QStringLiteral("org.bluez"),
        {QStringLiteral(TM_DEVICE_TEST_DIR "/fake_bluez4.py"), QStringLiteral("named"), QStringLiteral("Radio")});
    QVERIFY(bluez);

    TmServerDevice device(fixture.descriptionDir(), nullptr);
    QVERIFY(!device.createRootDevice(nullptr));
    device.setAvailable();

    QCOMPARE(fixture.temporaryFiles(), QStringList());
    QCOMPARE(fixture.templateText(), fixtureTemplate());
    QVERIFY(!bluez->waitForReadyRead(300));
    QVERIFY(!fileContent(hostnamedLog).contains("GetAll"));
    bus.stopService(bluez);
    bus.stopService(hostnamed);
}

void TestServerDevice::secondCreateChangesNothing()
{
    DescriptionFixture fixture;
    QVERIFY(fixture.isValid());
    TmServerDevice device(fixture.descriptionDir(), nullptr);
    QVERIFY(device.createRootDevice(context));
    const QStringList files = fixture.temporaryFiles();
    const QByteArray served = fixture.temporaryDescription();
    const QByteArray personalisedTemplate = fixture.templateText();
    const QList<TmService *> bridges = device.findChildren<TmService *>();
    QCOMPARE(bridges.size(), 1);

    QVERIFY(device.createRootDevice(context));
    QCOMPARE(fixture.temporaryFiles(), files);
    QCOMPARE(fixture.temporaryDescription(), served);
    QCOMPARE(fixture.templateText(), personalisedTemplate);
    QCOMPARE(device.findChildren<TmService *>(), bridges);
}

void TestServerDevice::missingTemplate()
{
    DescriptionFixture fixture;
    QVERIFY(QFile::remove(fixture.templatePath()));
    TmServerDevice device(fixture.descriptionDir(), nullptr);
    QVERIFY(!device.createRootDevice(context));
    QVERIFY(device.findChildren<TmService *>().isEmpty());
    QVERIFY(!QFileInfo::exists(fixture.templatePath()));
}

void TestServerDevice::bridgeMissingButAnnounced()
{
    DescriptionFixture fixture({{clientProfileService, QByteArray()}});
    QVERIFY(fixture.isValid());
    QVERIFY(!fixture.templateText().contains("TmClientProfile"));
    TmServerDevice device(fixture.descriptionDir(), nullptr);
    QVERIFY(device.createRootDevice(context));
    QVERIFY(device.findChildren<TmService *>().isEmpty());
    // Watching from before the announcement, so that its first notifications are heard.
    LinkWatcher watcher(deviceType);
    device.setAvailable();
    QVERIFY(watcher.waitForDevice(10000));
}

void TestServerDevice::temporaryFileNamingAndRemoval()
{
    DescriptionFixture fixture;
    QVERIFY(fixture.isValid());
    static const QRegularExpression generatedName(QStringLiteral("^upnp_root_device_[A-Za-z0-9]{8}\\.xml$"));

    auto first = std::make_unique<TmServerDevice>(fixture.descriptionDir(), nullptr);
    QVERIFY(first->createRootDevice(context));
    const QStringList firstFiles = fixture.temporaryFiles();
    QCOMPARE(firstFiles.size(), 1);
    auto second = std::make_unique<TmServerDevice>(fixture.descriptionDir(), nullptr);
    QVERIFY(second->createRootDevice(context));
    QStringList bothFiles = fixture.temporaryFiles();
    QCOMPARE(bothFiles.size(), 2);
    bothFiles.removeOne(firstFiles.constFirst());
    const QStringList secondFiles = bothFiles;

    for (const QString &file : firstFiles + secondFiles) {
        const QString name = QFileInfo(file).fileName();
        QVERIFY2(generatedName.match(name).hasMatch(), qPrintable(name));
        QVERIFY2(name != QLatin1String("upnp_root_device_XXXXXXXX.xml"), qPrintable(name));
        QCOMPARE(elementCount(fileContent(file), QStringLiteral("device/UDN")), 1);
    }

    first.reset();
    QCOMPARE(fixture.temporaryFiles(), secondFiles);
    second.reset();
    QCOMPARE(fixture.temporaryFiles(), QStringList());
}

void TestServerDevice::descriptionDirWithOrWithoutSlash_data()
{
    QTest::addColumn<QString>("firstSuffix");
    QTest::addColumn<QString>("secondSuffix");
    QTest::newRow("without, then with slash") << QString() << QStringLiteral("/");
    QTest::newRow("with, then without slash") << QStringLiteral("/") << QString();
}

// The first start writes the UDN into the template; a second start under the other spelling
// must find that same file.
void TestServerDevice::descriptionDirWithOrWithoutSlash()
{
    QFETCH(QString, firstSuffix);
    QFETCH(QString, secondSuffix);
    DescriptionFixture fixture;
    QVERIFY(fixture.isValid());
    QString udn;
    for (const QString &suffix : {firstSuffix, secondSuffix}) {
        TmServerDevice device(fixture.descriptionDir() + suffix, nullptr);
        QVERIFY(device.createRootDevice(context));
        const QString servedUdn = elementText(fixture.temporaryDescription(), QStringLiteral("device/UDN"));
        QVERIFY(servedUdn.startsWith(QLatin1String("uuid:")));
        if (udn.isEmpty())
            udn = servedUdn;
        QCOMPARE(servedUdn, udn);
    }
    QCOMPARE(elementText(fixture.templateText(), QStringLiteral("device/UDN")), udn);
}

QTEST_GUILESS_MAIN(TestServerDevice)
#include "tst_serverdevice.moc"
