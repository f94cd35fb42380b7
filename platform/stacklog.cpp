#include "platform/stacklog.h"

#include "platform/tmserver_debug.h"

#include <glib.h>
#include <libxml/xmlerror.h>

#include <string>

namespace
{

const int maxLinesPerSecond = 10;
// Room for "Malformed XML received: " and "(and N more messages)".
const size_t xmlEchoLength = 120;

struct RateWindow {
    gint64 start = 0;
    int lines = 0;
    int dropped = 0;
    guint reportTimer = 0;
};

struct PendingXmlLine {
    std::string firstMessage;
    int moreMessages = 0;
    bool scheduled = false;
};

RateWindow window;
PendingXmlLine pending;

std::string escapedPiece(const char *p, const char *end, const char **next)
{
    const auto byte = static_cast<unsigned char>(*p);
    const gunichar character = g_utf8_get_char_validated(p, end - p);
    *next = p + 1;
    if (byte == '\\')
        return "\\\\";
    if (character == gunichar(-1) || character == gunichar(-2) || byte < 0x20 || byte == 0x7f) {
        char escape[8];
        g_snprintf(escape, sizeof escape, "\\x%02x", byte);
        return escape;
    }
    *next = g_utf8_next_char(p);
    return std::string(p, *next);
}

gboolean reportDropped(gpointer)
{
    window.reportTimer = 0;
    if (window.dropped)
        qCWarning(lcUpnp, "%d more lines from the UPnP stack dropped", window.dropped);
    window.dropped = 0;
    return G_SOURCE_REMOVE;
}

gboolean flushPendingLine(gpointer)
{
    if (StackLog::admit()) {
        if (pending.moreMessages)
            qCWarning(lcUpnp, "Malformed XML received: %s (and %d more messages)", pending.firstMessage.c_str(),
                pending.moreMessages);
        else
            qCWarning(lcUpnp, "Malformed XML received: %s", pending.firstMessage.c_str());
    }
    pending.firstMessage.clear();
    pending.moreMessages = 0;
    pending.scheduled = false;
    return G_SOURCE_REMOVE;
}

void collectError(void *, xmlErrorPtr error)
{
    if (pending.scheduled) {
        ++pending.moreMessages;
        return;
    }
    std::string message = error->message ? error->message : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    pending.firstMessage = StackLog::printable(message.c_str(), xmlEchoLength);
    pending.scheduled = true;
    g_idle_add_full(G_PRIORITY_HIGH, flushPendingLine, nullptr, nullptr);
}

// Unstructured messages come in fragments; the structured handler sees every parser error.
void ignoreGenericError(void *, const char *, ...)
{
}

} // namespace

std::string StackLog::printable(const char *text, size_t maxLength)
{
    std::string line;
    const char *end = text + std::char_traits<char>::length(text);
    for (const char *p = text; p < end;) {
        const std::string piece = escapedPiece(p, end, &p);
        if (line.size() + piece.size() > maxLength)
            break;
        line += piece;
    }
    return line;
}

bool StackLog::admit()
{
    const gint64 now = g_get_monotonic_time();
    if (now - window.start >= G_USEC_PER_SEC) {
        window.start = now;
        window.lines = 0;
    }
    if (window.lines < maxLinesPerSecond) {
        ++window.lines;
        return true;
    }
    ++window.dropped;
    if (!window.reportTimer)
        window.reportTimer = g_timeout_add(1000, reportDropped, nullptr);
    return false;
}

void StackLog::installXmlErrorHandler()
{
    xmlSetStructuredErrorFunc(nullptr, collectError);
    xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
}
