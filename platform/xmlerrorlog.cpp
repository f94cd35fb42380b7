#include "platform/xmlerrorlog.h"

#include "platform/tmserver_debug.h"

#include <glib.h>
#include <libxml/xmlerror.h>

#include <string>

namespace
{

// With the words around it, a line stays under 200 characters.
const size_t maxEchoLength = 140;
const int maxLinesPerSecond = 10;

struct PendingLine {
    std::string firstMessage;
    int moreMessages = 0;
    bool scheduled = false;
    gint64 windowStart = 0;
    int linesInWindow = 0;
    int droppedInWindow = 0;
};

PendingLine pending;

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

// Whole characters and escapes only, so a cut line is still valid UTF-8.
void appendEscaped(std::string &line, const char *text)
{
    const char *end = text + std::char_traits<char>::length(text);
    for (const char *p = text; p < end;) {
        const std::string piece = escapedPiece(p, end, &p);
        if (line.size() + piece.size() > maxEchoLength)
            return;
        line += piece;
    }
}

bool takeRateToken()
{
    const gint64 now = g_get_monotonic_time();
    if (now - pending.windowStart >= G_USEC_PER_SEC) {
        if (pending.droppedInWindow)
            qCWarning(lcUpnp, "%d more lines about malformed XML dropped", pending.droppedInWindow);
        pending.windowStart = now;
        pending.linesInWindow = 0;
        pending.droppedInWindow = 0;
    }
    if (pending.linesInWindow >= maxLinesPerSecond) {
        ++pending.droppedInWindow;
        return false;
    }
    ++pending.linesInWindow;
    return true;
}

gboolean flushPendingLine(gpointer)
{
    if (takeRateToken()) {
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
    appendEscaped(pending.firstMessage, message.c_str());
    pending.scheduled = true;
    g_idle_add_full(G_PRIORITY_HIGH, flushPendingLine, nullptr, nullptr);
}

// Unstructured messages come in fragments; the structured handler sees every parser error.
void ignoreGenericError(void *, const char *, ...)
{
}

} // namespace

void XmlErrorLog::install()
{
    xmlSetStructuredErrorFunc(nullptr, collectError);
    xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
}
