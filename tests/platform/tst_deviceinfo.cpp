#include "platform/deviceinfo.h"
#include "privatesystembus.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

using Files = QMap<QString, QByteArray>;

class TestDeviceInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void identityFromFirstSourceThatAnswers_data();
    void identityFromFirstSourceThatAnswers();
    void imeiOfFirstModem_data();
    void imeiOfFirstModem();
    void bluetoothFromFirstAdapter_data();
    void bluetoothFromFirstAdapter();

private:
    bool writeTree(const QTemporaryDir &root, const Files &files);

    PrivateSystemBus bus;
};

void TestDeviceInfo::initTestCase()
{
    QVERIFY2(bus.start(), "cannot start a private system bus");
}

bool TestDeviceInfo::writeTree(const QTemporaryDir &root, const Files &files)
{
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const QString path = root.filePath(file.key());
        QFile output(path);
        if (!QDir().mkpath(QFileInfo(path).path()) || !output.open(QIODevice::WriteOnly)
            || output.write(file.value()) != file.value().size())
            return false;
    }
    return true;
}

void TestDeviceInfo::identityFromFirstSourceThatAnswers_data()
{
    QTest::addColumn<QVariantMap>("hostnamed"); // empty: not on the bus
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("productName");

    const Files deviceTree {{QStringLiteral("proc/device-tree/model"), QByteArrayLiteral("Tern Board Rev 2\0")},
        {QStringLiteral("proc/device-tree/compatible"), QByteArrayLiteral("ternco,board-2\0acme,soc\0")}};
    const Files dmi {{QStringLiteral("sys/class/dmi/id/sys_vendor"), QByteArrayLiteral("Plover Systems\n")},
        {QStringLiteral("sys/class/dmi/id/product_name"), QByteArrayLiteral("  Plover 14  \n")}};
    Files both = deviceTree;
    both.insert(dmi);
    const QVariantMap hostnamed {{QStringLiteral("HardwareVendor"), QStringLiteral("Kestrel")},
        {QStringLiteral("HardwareModel"), QStringLiteral("K-7")},
        {QStringLiteral("PrettyHostname"), QStringLiteral("Ada's phone")}};
    const QVariantMap hostnamedEmpty {{QStringLiteral("HardwareVendor"), QString()},
        {QStringLiteral("HardwareModel"), QString()}, {QStringLiteral("PrettyHostname"), QString()}};
    const QString hostName = QSysInfo::machineHostName();

    QTest::newRow("hostnamed over files")
        << hostnamed << both << QStringLiteral("Kestrel") << QStringLiteral("K-7") << QStringLiteral("Ada's phone");
    QTest::newRow("empty hostnamed values fall through")
        << hostnamedEmpty << both << QStringLiteral("ternco") << QStringLiteral("Tern Board Rev 2")
        << QStringLiteral("Plover 14");
    QTest::newRow("device tree before DMI") << QVariantMap() << both << QStringLiteral("ternco")
                                            << QStringLiteral("Tern Board Rev 2") << QStringLiteral("Plover 14");
    QTest::newRow("DMI only") << QVariantMap() << dmi << QStringLiteral("Plover Systems") << QStringLiteral("Plover 14")
                              << QStringLiteral("Plover 14");
    QTest::newRow("device tree only") << QVariantMap() << deviceTree << QStringLiteral("ternco")
                                      << QStringLiteral("Tern Board Rev 2") << hostName;
    QTest::newRow("compatible without vendor")
        << QVariantMap() << Files {{QStringLiteral("proc/device-tree/compatible"), QByteArrayLiteral("board\0")}}
        << QString() << QString() << hostName;
    QTest::newRow("nothing answers") << QVariantMap() << Files() << QString() << QString() << hostName;
}

void TestDeviceInfo::identityFromFirstSourceThatAnswers()
{
    QFETCH(QVariantMap, hostnamed);
    QFETCH(Files, files);
    QTemporaryDir root;
    QVERIFY(writeTree(root, files));
    QProcess *service = nullptr;
    if (!hostnamed.isEmpty())
        QVERIFY(service = bus.startHostnamed(hostnamed));

    const DeviceInfo info(bus.connection(), root.path());
    QTEST(info.manufacturer(), "manufacturer");
    QTEST(info.model(), "model");
    QTEST(info.productName(), "productName");
    bus.stopService(service);
}

void TestDeviceInfo::imeiOfFirstModem_data()
{
    QTest::addColumn<bool>("modemManager");
    QTest::addColumn<QStringList>("modems"); // object names under .../Modem/; IMEI is "imei-" + name
    QTest::addColumn<QString>("imei");

    QTest::newRow("no ModemManager") << false << QStringList() << QString();
    QTest::newRow("no modem") << true << QStringList() << QString();
    QTest::newRow("one modem") << true << QStringList {QStringLiteral("0")} << QStringLiteral("imei-0");
    QTest::newRow("lowest path first") << true << QStringList {QStringLiteral("3"), QStringLiteral("1")}
                                       << QStringLiteral("imei-1");
    QTest::newRow("numeric order") << true << QStringList {QStringLiteral("10"), QStringLiteral("2")}
                                   << QStringLiteral("imei-2");
}

void TestDeviceInfo::imeiOfFirstModem()
{
    QFETCH(bool, modemManager);
    QFETCH(QStringList, modems);
    QProcess *service = nullptr;
    if (modemManager) {
        QMap<QString, QString> imeiByPath;
        for (const QString &modem : modems)
            imeiByPath.insert(
                QStringLiteral("/org/freedesktop/ModemManager1/Modem/") + modem, QStringLiteral("imei-") + modem);
        QVERIFY(service = bus.startModemManager(imeiByPath));
    }
    QTEST(DeviceInfo(bus.connection()).imei(), "imei");
    bus.stopService(service);
}

void TestDeviceInfo::bluetoothFromFirstAdapter_data()
{
    QTest::addColumn<bool>("bluez");
    QTest::addColumn<QString>("alias"); // set on hci0 after the adapters were added
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("name");

    QTest::newRow("no BlueZ") << false << QString() << QString() << QString();
    QTest::newRow("alias of hci0") << true << QStringLiteral("Kitchen radio") << QStringLiteral("00:01:02:03:04:05")
                                   << QStringLiteral("Kitchen radio");
    QTest::newRow("empty alias gives the name")
        << true << QString() << QStringLiteral("00:01:02:03:04:05") << QStringLiteral("first adapter");
}

void TestDeviceInfo::bluetoothFromFirstAdapter()
{
    QFETCH(bool, bluez);
    QFETCH(QString, alias);
    QProcess *service = nullptr;
    if (bluez) {
        QVERIFY(service = bus.startBluez5({{QStringLiteral("hci1"), QStringLiteral("second adapter")},
                    {QStringLiteral("hci0"), QStringLiteral("first adapter")}}));
        QVERIFY(bus.setBluez5Alias(QStringLiteral("hci0"), alias));
    }
    const DeviceInfo info(bus.connection());
    QTEST(info.bluetoothAddress(), "address");
    QTEST(info.bluetoothAdapterName(), "name");
    bus.stopService(service);
}

QTEST_GUILESS_MAIN(TestDeviceInfo)
#include "tst_deviceinfo.moc"
