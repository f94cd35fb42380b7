#include "descriptionfixture.h"
#include "device/tmserverdevice.h"
#include "privatesystembus.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <libgupnp/gupnp.h>

#include <sys/mount.h>
#include <sys/stat.h>

namespace
{

const QByteArray emptyUdn = QByteArrayLiteral("<UDN></UDN>");
const QByteArray filledUdn = QByteArrayLiteral("<UDN>uuid:00000000-0000-4000-8000-000000000001</UDN>");
const QString imei = QStringLiteral("356938035643809");
const QString productName = QStringLiteral("Ada's phone");

QVariantMap deviceIdentity(const QString &vendor, const QString &model, const QString &prettyName)
{
    return {{QStringLiteral("HardwareVendor"), vendor}, {QStringLiteral("HardwareModel"), model},
        {QStringLiteral("PrettyHostname"), prettyName}};
}

const QVariantMap defaultIdentity = deviceIdentity(QStringLiteral("Kestrel"), QStringLiteral("K-7"), productName);

// Changes when the file is replaced, even by one with the same content.
ino_t fileIdentity(const QString &path)
{
    struct stat status = {};
    return stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}

QString text(const QByteArray &document, const char *element)
{
    return elementText(document, QStringLiteral("device/") + QLatin1String(element));
}

// Keeps a directory read-only while it lives. Root ignores file modes, so the directory is
// bind-mounted read-only over itself (the test runs in a private mount namespace).
class ReadOnlyDirectory
{
public:
    explicit ReadOnlyDirectory(const QString &path)
        : path(QFile::encodeName(path))
    {
        mounted = mount(this->path.constData(), this->path.constData(), nullptr, MS_BIND, nullptr) == 0;
        readOnly = mounted
            && mount(nullptr, this->path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyDirectory()
    {
        if (mounted)
            umount2(path.constData(), MNT_DETACH);
    }
    const QByteArray path;
    bool mounted = false;
    bool readOnly = false;
};

} // namespace

class TestPersonalisation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void firstStartWritesIdentityOnce_data();
    void firstStartWritesIdentityOnce();
    void filledUdnIsKept_data();
    void filledUdnIsKept();
    void withoutUdnEveryStartIsFirst();
    void markupCharactersReadBackExactly();
    void friendlyNameAndAddress_data();
    void friendlyNameAndAddress();
    void onlyFirstDeviceIsTouched();
    void unwritableTemplateKeepsEmptyUdn();
    void rewriteKeepsModeAndLeavesNoFiles();

private:
    // Brings a server device up on the fixture and returns what it serves.
    QByteArray serve(const DescriptionFixture &fixture, bool *created = nullptr);

    PrivateSystemBus bus;
    GUPnPContext *context = nullptr;
    QProcess *bluez = nullptr;
};

void TestPersonalisation::initTestCase()
{
    QVERIFY2(bus.start(), "cannot start a private system bus");
    context = openUsbLinkContext();
    QVERIFY(context);
    QVERIFY(bus.startHostnamed(defaultIdentity));
    QVERIFY(bus.startModemManager({{QStringLiteral("/org/freedesktop/ModemManager1/Modem/0"), imei}}));
}

void TestPersonalisation::init()
{
    QVERIFY(bus.updateHostnamed(defaultIdentity));
}

void TestPersonalisation::cleanup()
{
    bus.stopService(bluez);
    bluez = nullptr;
}

void TestPersonalisation::cleanupTestCase()
{
    g_clear_object(&context);
}

QByteArray TestPersonalisation::serve(const DescriptionFixture &fixture, bool *created)
{
    TmServerDevice device(fixture.descriptionDir(), nullptr);
    const bool made = device.createRootDevice(context);
    if (created)
        *created = made;
    return fixture.temporaryDescription();
}

void TestPersonalisation::firstStartWritesIdentityOnce_data()
{
    QTest::addColumn<QByteArray>("udnElement");
    QTest::newRow("element without content") << emptyUdn;
    QTest::newRow("empty-element tag") << QByteArrayLiteral("<UDN/>");
}

void TestPersonalisation::firstStartWritesIdentityOnce()
{
    QFETCH(QByteArray, udnElement);
    DescriptionFixture fixture({{emptyUdn, udnElement}});
    QVERIFY(fixture.isValid());

    const QByteArray firstServed = serve(fixture);
    const QByteArray personalised = fixture.templateText();
    const QString udn = text(personalised, "UDN");
    QVERIFY2(QRegularExpression(QStringLiteral("^uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                 .match(udn)
                 .hasMatch(),
        qPrintable(udn));
    QCOMPARE(text(personalised, "serialNumber"), imei);
    QCOMPARE(text(personalised, "manufacturer"), QStringLiteral("Kestrel"));
    QCOMPARE(text(personalised, "modelDescription"), QStringLiteral("Kestrel"));
    QCOMPARE(text(personalised, "modelNumber"), QStringLiteral("K-7"));
    QCOMPARE(text(personalised, "modelName"), productName);
    // The per-start values reach the served copy only.
    QCOMPARE(text(personalised, "friendlyName"), QStringLiteral("Template friendly name"));
    QCOMPARE(text(personalised, "X_connectivity/bluetooth/bdAddr"), QStringLiteral("Template address"));
    QCOMPARE(text(firstServed, "UDN"), udn);
    QCOMPARE(text(firstServed, "friendlyName"), productName);

    QVERIFY(
        bus.updateHostnamed(deviceIdentity(QStringLiteral("Other"), QStringLiteral("O-1"), QStringLiteral("Other"))));
    const ino_t personalisedFile = fileIdentity(fixture.templatePath());
    const QByteArray secondServed = serve(fixture);
    QCOMPARE(fixture.templateText(), personalised);
    QCOMPARE(fileIdentity(fixture.templatePath()), personalisedFile);
    QCOMPARE(text(secondServed, "UDN"), udn);
    QCOMPARE(text(secondServed, "manufacturer"), QStringLiteral("Kestrel"));
    QCOMPARE(text(secondServed, "modelName"), productName);
    QCOMPARE(text(secondServed, "friendlyName"), QStringLiteral("Other"));
}

void TestPersonalisation::filledUdnIsKept_data()
{
    QTest::addColumn<QByteArray>("udnElement");
    QTest::addColumn<QString>("udn");
    QTest::newRow("UDN") << filledUdn << QStringLiteral("uuid:00000000-0000-4000-8000-000000000001");
    QTest::newRow("space") << QByteArrayLiteral("<UDN> </UDN>") << QStringLiteral(" ");
    QTest::newRow("line break") << QByteArrayLiteral("<UDN>\n</UDN>") << QStringLiteral("\n");
}

void TestPersonalisation::filledUdnIsKept()
{
    QFETCH(QByteArray, udnElement);
    DescriptionFixture fixture({{emptyUdn, udnElement}});
    QVERIFY(fixture.isValid());
    const ino_t templateFile = fileIdentity(fixture.templatePath());
    const QByteArray served = serve(fixture);
    QCOMPARE(fileIdentity(fixture.templatePath()), templateFile);
    QCOMPARE(fixture.templateText(), fixtureTemplate().replace(emptyUdn, udnElement));
    QTEST(text(served, "UDN"), "udn");
    QCOMPARE(text(served, "serialNumber"), QStringLiteral("Template serial number"));
    QCOMPARE(text(served, "modelName"), QStringLiteral("Template model name"));
    QCOMPARE(text(served, "friendlyName"), productName);
}

void TestPersonalisation::withoutUdnEveryStartIsFirst()
{
    DescriptionFixture fixture({{emptyUdn, QByteArray()}});
    QVERIFY(fixture.isValid());
    serve(fixture);
    QCOMPARE(text(fixture.templateText(), "modelName"), productName);

    QVERIFY(
        bus.updateHostnamed(deviceIdentity(QStringLiteral("Other"), QStringLiteral("O-1"), QStringLiteral("Second"))));
    serve(fixture);
    QCOMPARE(text(fixture.templateText(), "modelName"), QStringLiteral("Second"));
    QCOMPARE(text(fixture.templateText(), "manufacturer"), QStringLiteral("Other"));
    QCOMPARE(elementCount(fixture.templateText(), QStringLiteral("device/UDN")), 0);
}

void TestPersonalisation::markupCharactersReadBackExactly()
{
    const QString name = QStringLiteral("Tom & Jerry's <\"phone\"> &amp; more");
    QVERIFY(bus.updateHostnamed(deviceIdentity(name, QStringLiteral("K-7"), name)));
    DescriptionFixture fixture;
    QVERIFY(fixture.isValid());
    const QByteArray served = serve(fixture);
    QVERIFY2(elementCount(served, QStringLiteral("device")) == 1, served.constData());
    QVERIFY(elementCount(fixture.templateText(), QStringLiteral("device")) == 1);
    QCOMPARE(text(served, "friendlyName"), name);
    QCOMPARE(text(served, "modelName"), name);
    QCOMPARE(text(fixture.templateText(), "manufacturer"), name);
    QVERIFY(served.contains("Tom &amp; Jerry's &lt;\"phone\"&gt; &amp;amp; more"));
}

void TestPersonalisation::friendlyNameAndAddress_data()
{
    QTest::addColumn<QStringList>("bluez4"); // fake_bluez4.py arguments; empty: none
    QTest::addColumn<bool>("bluez5");
    QTest::addColumn<QString>("friendlyName");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("bluez4Calls");

    const QString alias = QStringLiteral("Kitchen radio");
    // The BlueZ 4 fake answers BlueZ 5's object manager too, for the address only.
    const QString fakeAddress = QStringLiteral("001122AABBCC");
    QTest::newRow("BlueZ 4 adapter name")
        << QStringList {QStringLiteral("named"), alias} << false << alias << fakeAddress
        << QByteArrayLiteral("DefaultAdapter\nGetProperties\nGetManagedObjects\n");
    QTest::newRow("BlueZ 4 without default adapter")
        << QStringList {QStringLiteral("no-adapter")} << false << productName << fakeAddress
        << QByteArrayLiteral("DefaultAdapter\nGetManagedObjects\n");
    QTest::newRow("BlueZ 4 adapter without Name")
        << QStringList {QStringLiteral("nameless")} << false << productName << fakeAddress
        << QByteArrayLiteral("DefaultAdapter\nGetProperties\nGetManagedObjects\n");
    QTest::newRow("BlueZ 5") << QStringList() << true << alias << QStringLiteral("000102030405") << QByteArray();
    QTest::newRow("no BlueZ") << QStringList() << false << productName << QString() << QByteArray();
    QTest::newRow("BlueZ never answers") << QStringList {QStringLiteral("silent")} << false << productName << QString()
                                         << QByteArray();
}

void TestPersonalisation::friendlyNameAndAddress()
{
    QFETCH(QStringList, bluez4);
    QFETCH(bool, bluez5);
    if (!bluez4.isEmpty())
        bluez = bus.startService(
            QStringLiteral("org.bluez"), QStringList {QStringLiteral(TM_DEVICE_TEST_DIR "/fake_bluez4.py")} + bluez4);
    if (bluez5) {
        bluez = bus.startBluez5({{QStringLiteral("hci0"), QStringLiteral("hci0 name")}});
        QVERIFY(bus.setBluez5Alias(QStringLiteral("hci0"), QStringLiteral("Kitchen radio")));
    }
    QVERIFY((bluez4.isEmpty() && !bluez5) || bluez);
    DescriptionFixture fixture({{emptyUdn, filledUdn}});
    QVERIFY(fixture.isValid());

    QElapsedTimer startUp;
    startUp.start();
    bool created = false;
    const QByteArray served = serve(fixture, &created);
    // Well inside the D-Bus default reply timeout of 25 s.
    QVERIFY2(startUp.elapsed() < 10000, qPrintable(QString::number(startUp.elapsed())));
    QVERIFY(created);
    QTEST(text(served, "friendlyName"), "friendlyName");
    QTEST(text(served, "X_connectivity/bluetooth/bdAddr"), "address");
    QCOMPARE(fixture.templateText(), fixtureTemplate().replace(emptyUdn, filledUdn));
    if (!bluez4.isEmpty()) {
        bluez->waitForReadyRead(200);
        QTEST(bluez->readAllStandardOutput(), "bluez4Calls");
    }
}

void TestPersonalisation::onlyFirstDeviceIsTouched()
{
    // The first device has no X_connectivity: a later device's must not be taken instead.
    const QByteArray firstConnectivity = QByteArrayLiteral(R"(    <X_connectivity>
      <bluetooth>
        <bdAddr>Template address</bdAddr>
      </bluetooth>
    </X_connectivity>
)");
    const QByteArray secondDevice = QByteArrayLiteral(R"(  <device>
    <friendlyName>Second friendly name</friendlyName>
    <modelName>Second model name</modelName>
    <UDN></UDN>
    <X_connectivity><bluetooth><bdAddr>Second address</bdAddr></bluetooth></X_connectivity>
  </device>
</root>)");
    DescriptionFixture fixture({{firstConnectivity, QByteArray()}, {QByteArrayLiteral("</root>"), secondDevice}});
    QVERIFY(fixture.isValid());
    QCOMPARE(elementCount(fixture.templateText(), QStringLiteral("device")), 2);

    const QByteArray served = serve(fixture);
    const QByteArray personalised = fixture.templateText();
    QVERIFY(text(personalised, "UDN").startsWith(QLatin1String("uuid:")));
    QCOMPARE(text(served, "friendlyName"), productName);
    for (const QByteArray &document : {personalised, served}) {
        QCOMPARE(elementText(document, QStringLiteral("device[2]/UDN")), QString());
        QCOMPARE(elementText(document, QStringLiteral("device[2]/modelName")), QStringLiteral("Second model name"));
        QCOMPARE(
            elementText(document, QStringLiteral("device[2]/friendlyName")), QStringLiteral("Second friendly name"));
        QCOMPARE(elementText(document, QStringLiteral("device[2]/X_connectivity/bluetooth/bdAddr")),
            QStringLiteral("Second address"));
    }
}

void TestPersonalisation::unwritableTemplateKeepsEmptyUdn()
{
    DescriptionFixture fixture;
    QVERIFY(fixture.isValid());
    QString firstUdn;
    {
        ReadOnlyDirectory lockedDir(fixture.descriptionDir());
        if (!lockedDir.readOnly)
            QSKIP("cannot bind-mount the description directory read-only (needs root)");
        bool created = false;
        firstUdn = text(serve(fixture, &created), "UDN");
        QVERIFY(created);
        QVERIFY(firstUdn.startsWith(QLatin1String("uuid:")));
        QCOMPARE(fixture.templateText(), fixtureTemplate());
    }
    // Writable again: the next start is a first start once more, with a new UDN.
    const QString secondUdn = text(serve(fixture), "UDN");
    QVERIFY(secondUdn.startsWith(QLatin1String("uuid:")));
    QVERIFY(secondUdn != firstUdn);
    QCOMPARE(text(fixture.templateText(), "UDN"), secondUdn);
}

void TestPersonalisation::rewriteKeepsModeAndLeavesNoFiles()
{
    DescriptionFixture fixture;
    QVERIFY(fixture.isValid());
    const QFileDevice::Permissions mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup;
    QVERIFY(QFile::setPermissions(fixture.templatePath(), mode));
    serve(fixture);
    QVERIFY(text(fixture.templateText(), "UDN").startsWith(QLatin1String("uuid:")));
    QCOMPARE(QFile::permissions(fixture.templatePath()) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), mode);
    QCOMPARE(QDir(fixture.descriptionDir()).entryList(QDir::Files | QDir::Hidden),
        QStringList {QStringLiteral("tmserverdevice.xml")});
}

QTEST_GUILESS_MAIN(TestPersonalisation)
#include "tst_personalisation.moc"
