#include "bridge/upnperrortext.h"

#include <QCoreApplication>
#include <QTest>
#include <QTranslator>

namespace
{
const char noSuchAction[] = "No action by that name at this service.";

// Translates one text of the table, to show when the table takes its translations.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        if (qstrcmp(context, "QObject") == 0 && qstrcmp(sourceText, noSuchAction) == 0)
            return QStringLiteral("translated 401");
        return QString();
    }
    bool isEmpty() const override
    {
        return false;
    }
};
} // namespace

class UpnpErrorTextTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Runs first: the table is filled at the first lookup that needs it, with the translations
    // of that moment, and never again.
    void tableIsFilledOnceAtFirstNeed()
    {
        QCOMPARE(upnpErrorText(401, QStringLiteral("own text")), QStringLiteral("own text"));
        MarkingTranslator translator;
        QCoreApplication::installTranslator(&translator);
        QCOMPARE(upnpErrorText(401, QString()), QStringLiteral("translated 401"));
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(upnpErrorText(401, QString()), QStringLiteral("translated 401"));
    }

    void texts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, int code, const char *text, const char *expected) {
            QTest::newRow(name) << code << QString::fromUtf8(text) << QString::fromUtf8(expected);
        };
        row("402", 402, "",
            "Could be any of the following: not enough in args, args in the wrong order, one or more in args are of "
            "the wrong data type.");
        row("501", 501, "", "MAY be returned if current state of service prevents invoking that action.");
        row("600 without full stop", 600, "", "The argument value is invalid");
        row("603 without full stop", 603, "",
            "The device does not have sufficient memory available to complete the action. This MAY be a temporary "
            "condition");
        row("604", 604, "",
            "The device has encountered an error condition which it cannot resolve itself and required human "
            "intervention such as a reset or power cycle. See the device display or documentation for further "
            "guidance.");
        row("701", 701, "", "The service has rejected the operation.");
        row("810", 810, "", "The AppId does not exist or is malformed.");
        row("814 with its comma", 814, "",
            "The requested application resource is busy, This error can occur when the resource is already busy and "
            "resourceStatus in the AppListing is set equal to NA.");
        row("815", 815, "",
            "The action cannot be processed as the device hosting the service is locked. User needs to un-lock the "
            "device first.");
        row("830", 830, "",
            "The profile identifier does not exist or the application cannot use the specified profile "
            "identifier.");
        row("own text wins over the table", 813, "Launcher crashed", "Launcher crashed");
        row("own text for an unknown code", 4711, "Busy", "Busy");
        row("unknown code", 999, "", "The error code 999 has no known error text");
        row("negative code", -1, "", "The error code -1 has no known error text");
        row("code 0", 0, "", "The error code 0 has no known error text");
        row("between table codes", 816, "", "The error code 816 has no known error text");
    }

    void texts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(upnpErrorText(code, text), expected);
    }
};

QTEST_GUILESS_MAIN(UpnpErrorTextTest)
#include "tst_upnperrortext.moc"
