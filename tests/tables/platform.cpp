#include "device/identitystore.h"
#include "platform/deviceinfo.h"
#include "tests/tables/table.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>

namespace
{

void write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        expect("write " + path.toStdString(), false, true);
}

// With no system bus, each value comes from the device tree, else DMI, else the host name.
void deviceInformation()
{
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
    const QByteArray dmiVendor = "Plover Systems\n", dmiProduct = "Plover 14\n";
    const struct {
        const char *row;
        QByteArray compatible, model;
        bool dmi;
        std::string manufacturer, modelName, productName;
    } rows[] = {
        {"device tree and DMI", QByteArray("kestrel,k7\0kestrel,soc\0", 23), QByteArray("K-7 board\0", 10), true,
            "kestrel", "K-7 board", "Plover 14"},
        {"compatible without vendor", "k7", {}, true, "Plover Systems", "Plover 14", "Plover 14"},
        {"DMI only", {}, {}, true, "Plover Systems", "Plover 14", "Plover 14"},
        {"nothing", {}, {}, false, "", "", QSysInfo::machineHostName().toStdString()},
    };
    for (const auto &row : rows) {
        QTemporaryDir root;
        if (!row.compatible.isNull())
            write(root.filePath(QStringLiteral("proc/device-tree/compatible")), row.compatible);
        if (!row.model.isNull())
            write(root.filePath(QStringLiteral("proc/device-tree/model")), row.model);
        if (row.dmi) {
            write(root.filePath(QStringLiteral("sys/class/dmi/id/sys_vendor")), dmiVendor);
            write(root.filePath(QStringLiteral("sys/class/dmi/id/product_name")), dmiProduct);
        }
        const DeviceInfo info(root.path() + QLatin1Char('/'));
        expect(std::string(row.row) + ": manufacturer", info.manufacturer().toStdString(), row.manufacturer);
        expect(std::string(row.row) + ": model", info.model().toStdString(), row.modelName);
        expect(std::string(row.row) + ": product name", info.productName().toStdString(), row.productName);
    }
}

void stateFile()
{
    qputenv("HOME", "/home/u");
    const struct {
        const char *row, *stateDirectory, *xdgStateHome, *path;
    } rows[] = {
        {"systemd's first state directory", "/var/lib/a:/var/lib/b", "/x", "/var/lib/a/identity"},
        {"XDG_STATE_HOME", nullptr, "/x", "/x/tmserverd/identity"},
        {"relative XDG_STATE_HOME", nullptr, "x", "/home/u/.local/state/tmserverd/identity"},
        {"neither", nullptr, nullptr, "/home/u/.local/state/tmserverd/identity"},
    };
    for (const auto &row : rows) {
        for (const auto &[name, value] :
            {std::pair {"STATE_DIRECTORY", row.stateDirectory}, {"XDG_STATE_HOME", row.xdgStateHome}})
            value ? qputenv(name, value) : qunsetenv(name);
        expect(row.row, IdentityStore::stateFilePath().toStdString(), std::string(row.path));
    }
}

// A state file left by an earlier release (QSettings' INI) or by this one reads as the strings kept.
void keptStrings()
{
    QTemporaryDir directory;
    qputenv("STATE_DIRECTORY", directory.path().toUtf8());
    const QString odd = QStringLiteral("Co., \"Ltd\"; \\ @");
    const struct {
        const char *row;
        QByteArray file;
        QString manufacturer;
    } rows[] = {
        {"earlier: plain", "[General]\nmanufacturer=Grüße Ltd\n", QStringLiteral("Grüße Ltd")},
        {"earlier: quoted, escaped", "[General]\nmanufacturer=\"Co., \\\"Ltd\\\"; \\\\ @\"\n", odd},
        {"earlier: leading @", "[General]\nmanufacturer=@@Home\n", QStringLiteral("@Home")},
        {"this release over an earlier one", "[General]\nmanufacturer=a\n[Identity]\nmanufacturer=b\n",
            QStringLiteral("b")},
    };
    for (const auto &row : rows) {
        write(IdentityStore::stateFilePath(), row.file);
        expect(row.row, IdentityStore::keptIdentity().value(QStringLiteral("manufacturer")).toStdString(),
            row.manufacturer.toStdString());
    }
    QString reason;
    expect("kept by this release", IdentityStore::keepIdentity({{QStringLiteral("manufacturer"), odd}}, &reason), true);
    expect("read back", IdentityStore::keptIdentity().value(QStringLiteral("manufacturer")).toStdString(),
        odd.toStdString());
}

} // namespace

int main()
{
    deviceInformation();
    stateFile();
    keptStrings();
    return failedRows;
}
