#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

typedef struct _GUPnPContext GUPnPContext;

// A description directory holding one template, and a directory of its own that TMPDIR
// points at while the fixture lives, so that the temporary descriptions of the server devices
// made meanwhile can be found.
class DescriptionFixture
{
public:
    // The fixture template with each key replaced by its value (plain text substitution).
    explicit DescriptionFixture(const QList<QPair<QByteArray, QByteArray>> &replacements = {});
    ~DescriptionFixture();

    bool isValid() const;
    QString descriptionDir() const;
    QString templatePath() const;
    QByteArray templateText() const;
    // Full paths of the files in the temporary directory.
    QStringList temporaryFiles() const;
    // The content of the one temporary description; empty when there is not exactly one.
    QByteArray temporaryDescription() const;

private:
    QTemporaryDir base;
    QByteArray previousTmpDir;
    bool valid = false;
};

// The template under tests/device/fixtures.
QByteArray fixtureTemplate();

// Text of the first element at a path of local names below the document element, such as
// "device/UDN" or "device[2]/UDN"; empty when there is none or the document is not well-formed.
QString elementText(const QByteArray &document, const QString &path);
// How many elements match the path; -1 when the document is not well-formed XML.
int elementCount(const QByteArray &document, const QString &path);
QByteArray fileContent(const QString &path);

// A GUPnP context on usb0, which exists only inside tests/with-usb-link.sh; null elsewhere.
GUPnPContext *openUsbLinkContext();
