#include "device/identitystore.h"

#include "platform/tmserver_debug.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <glib.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace
{

// QSaveFile names its file beside the target after it, with six characters of its own.
const char interruptedSuffix[] = ".??????";
const char stateFileName[] = "identity";
// A key file holds strings only: nothing in it is ever turned into a typed value. QSettings'
// INI files were read that way ("@Variant(...)"), and a damaged one could ask for gigabytes.
const char identityGroup[] = "Identity";
// Where earlier releases kept the identity through QSettings, whose strings this still reads.
const char legacyGroup[] = "General";
// The identity takes a few hundred bytes; whatever lies beyond this is not ours.
const qint64 stateFileLimit = 64 * 1024;

QString stringValue(GKeyFile *state, const char *group, const char *key)
{
    g_autofree char *text = g_key_file_get_string(state, group, key, nullptr);
    return QString::fromUtf8(text);
}

// QSettings wrote a string C-escaped, in quotes when it held a separator or outer spaces, and
// with a leading "@" doubled.
QString legacyValue(GKeyFile *state, const char *group, const char *key)
{
    g_autofree char *raw = g_key_file_get_value(state, group, key, nullptr);
    QByteArray text(raw);
    if (text.size() > 1 && text.startsWith('"') && text.endsWith('"'))
        text = text.mid(1, text.size() - 2);
    // A lone backslash at the end continued the line there, which a string of ours never did.
    qsizetype backslashes = 0;
    while (backslashes < text.size() && text.at(text.size() - 1 - backslashes) == '\\')
        ++backslashes;
    text.chop(backslashes % 2);
    g_autofree char *unescaped = g_strcompress(text.constData());
    const QString string = QString::fromUtf8(unescaped);
    return string.startsWith(QLatin1String("@@")) ? string.mid(1) : string;
}

// Outer white space means nothing in a description, and a key file keeps only some of it.
QMap<QString, QString> keptInGroup(
    GKeyFile *state, const char *group, QString (*read)(GKeyFile *, const char *, const char *))
{
    QMap<QString, QString> identity;
    g_auto(GStrv) keys = g_key_file_get_keys(state, group, nullptr, nullptr);
    for (char **key = keys; key && *key; ++key)
        identity.insert(QString::fromUtf8(*key), read(state, group, *key).trimmed());
    return identity;
}

bool replaceAtomically(const QByteArray &text, const QString &path, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        return true;
    *reason = file.errorString();
    return false;
}

// Without a writable directory there is no rename: the file is never emptied first, so the old
// document stays whole on disk until the new one has been written over it, and only then is the
// old one's longer tail cut off.
bool overwriteInPlace(const QByteArray &text, const QString &path, QString *reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        *reason = file.errorString();
        return false;
    }
    if (file.write(text) != text.size() || !file.resize(text.size()) || !file.flush()) {
        *reason = file.errorString();
        return false;
    }
    if (fsync(file.handle()) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

bool IdentityStore::writeBack(const QByteArray &text, const QString &path, QString *reason)
{
    if (QFileInfo(QFileInfo(path).absolutePath()).isWritable())
        return replaceAtomically(text, path, reason);
    return overwriteInPlace(text, path, reason);
}

void IdentityStore::removeInterruptedWriteBacks(const QString &path)
{
    const QFileInfo target(path);
    const QDir directory = target.absoluteDir();
    const QStringList leftovers = directory.entryList(
        {target.fileName() + QLatin1String(interruptedSuffix)}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers)
        QFile::remove(directory.filePath(name));
}

QString IdentityStore::stateFilePath()
{
    QString directory = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (directory.isEmpty()) {
        QString base = qEnvironmentVariable("XDG_STATE_HOME");
        if (!QDir::isAbsolutePath(base))
            base = QDir::homePath() + QLatin1String("/.local/state");
        directory = base + QLatin1String("/tmserverd");
    }
    return QDir(directory).filePath(QLatin1String(stateFileName));
}

QMap<QString, QString> IdentityStore::keptIdentity()
{
    QFile file(stateFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.read(stateFileLimit);
    g_autoptr(GKeyFile) state = g_key_file_new();
    g_autoptr(GError) error = nullptr;
    if (!g_key_file_load_from_data(state, text.constData(), gsize(text.size()), G_KEY_FILE_NONE, &error)) {
        qCWarning(lcDevice, "Cannot read the identity kept in %s: %s", qUtf8Printable(file.fileName()), error->message);
        return {};
    }
    QMap<QString, QString> identity = keptInGroup(state, legacyGroup, legacyValue);
    identity.insert(keptInGroup(state, identityGroup, stringValue));
    return identity;
}

bool IdentityStore::keepIdentity(const QMap<QString, QString> &identity, QString *reason)
{
    const QString path = stateFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    g_autoptr(GKeyFile) state = g_key_file_new();
    for (auto value = identity.cbegin(); value != identity.cend(); ++value)
        g_key_file_set_string(state, identityGroup, qUtf8Printable(value.key()), qUtf8Printable(value.value()));
    gsize size = 0;
    g_autofree char *text = g_key_file_to_data(state, &size, nullptr);
    return writeBack(QByteArray(text, qsizetype(size)), path, reason);
}
