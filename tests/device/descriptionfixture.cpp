#include "descriptionfixture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <libgupnp/gupnp.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

namespace
{

const char templateName[] = "tmserverdevice.xml";

// "device[2]/UDN" -> "/*/*[local-name()='device'][2]/*[local-name()='UDN']": the template's
// default namespace would otherwise have to be spelt out in every step.
QByteArray toXPath(const QString &path)
{
    static const QRegularExpression step(QStringLiteral("^(\\w+)(\\[\\d+\\])?$"));
    QByteArray xpath("/*");
    for (const QString &segment : path.split(QLatin1Char('/'))) {
        const QRegularExpressionMatch match = step.match(segment);
        xpath += "/*[local-name()='" + match.captured(1).toLatin1() + "']" + match.captured(2).toLatin1();
    }
    return xpath;
}

// use(nodes) of the nodes at the path (null when there are none), or illFormed when the text
// cannot be parsed.
template <typename Value, typename Use>
Value withNodes(const QByteArray &text, const QString &path, Value illFormed, Use use)
{
    xmlDocPtr document = xmlReadMemory(text.constData(), int(text.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (!document)
        return illFormed;
    xmlXPathContextPtr context = xmlXPathNewContext(document);
    xmlXPathObjectPtr result
        = xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(toXPath(path).constData()), context);
    const Value value = use(result ? result->nodesetval : nullptr);
    xmlXPathFreeObject(result);
    xmlXPathFreeContext(context);
    xmlFreeDoc(document);
    return value;
}

} // namespace

DescriptionFixture::DescriptionFixture(const QList<QPair<QByteArray, QByteArray>> &replacements)
    : previousTmpDir(qgetenv("TMPDIR"))
{
    QByteArray text = fixtureTemplate();
    for (const auto &replacement : replacements)
        text.replace(replacement.first, replacement.second);
    QFile file(templatePath());
    valid = base.isValid() && QDir(base.path()).mkpath(QStringLiteral("xml"))
        && QDir(base.path()).mkpath(QStringLiteral("tmp")) && file.open(QIODevice::WriteOnly)
        && file.write(text) == text.size();
    qputenv("TMPDIR", QFile::encodeName(base.filePath(QStringLiteral("tmp"))));
}

DescriptionFixture::~DescriptionFixture()
{
    if (previousTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", previousTmpDir);
}

bool DescriptionFixture::isValid() const
{
    return valid;
}

QString DescriptionFixture::descriptionDir() const
{
    return base.filePath(QStringLiteral("xml"));
}

QString DescriptionFixture::templatePath() const
{
    return QDir(descriptionDir()).filePath(QLatin1String(templateName));
}

QByteArray DescriptionFixture::templateText() const
{
    return fileContent(templatePath());
}

QStringList DescriptionFixture::temporaryFiles() const
{
    const QDir temporary(base.filePath(QStringLiteral("tmp")));
    QStringList files;
    for (const QString &name : temporary.entryList(QDir::Files | QDir::Hidden))
        files << temporary.filePath(name);
    return files;
}

QByteArray DescriptionFixture::temporaryDescription() const
{
    const QStringList files = temporaryFiles();
    return files.size() == 1 ? fileContent(files.constFirst()) : QByteArray();
}

QByteArray fixtureTemplate()
{
    return fileContent(QStringLiteral(TM_DEVICE_TEST_DIR "/fixtures/") + QLatin1String(templateName));
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString elementText(const QByteArray &document, const QString &path)
{
    return withNodes(document, path, QString(), [](xmlNodeSetPtr nodes) {
        if (!nodes || nodes->nodeNr == 0)
            return QString();
        xmlChar *content = xmlNodeGetContent(nodes->nodeTab[0]);
        const QString text = QString::fromUtf8(reinterpret_cast<const char *>(content));
        xmlFree(content);
        return text;
    });
}

int elementCount(const QByteArray &document, const QString &path)
{
    return withNodes(document, path, -1, [](xmlNodeSetPtr nodes) { return nodes ? nodes->nodeNr : 0; });
}

GUPnPContext *openUsbLinkContext()
{
    GError *error = nullptr;
    GUPnPContext *context = gupnp_context_new_full("usb0", nullptr, 0, GSSDP_UDA_VERSION_1_0, &error);
    if (error) {
        qWarning("No UPnP context on usb0 (run the test inside tests/with-usb-link.sh): %s", error->message);
        g_error_free(error);
    }
    return context;
}
