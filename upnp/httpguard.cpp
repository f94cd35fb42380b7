#include "upnp/httpguard.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <climits>
#include <cstring>
#include <string>

namespace
{

bool sameHostAndPort(const char *hostHeader, GUPnPContext *context)
{
    if (!hostHeader)
        return false;
    const std::string uriText = std::string("http://") + hostHeader + "/";
    GUri *uri = g_uri_parse(uriText.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri)
        return false;
    // Without a port the Host header means port 80.
    const int port = g_uri_get_port(uri) == -1 ? 80 : g_uri_get_port(uri);
    const char *host = g_uri_get_host(uri);
    const char *ownHost = gssdp_client_get_host_ip(GSSDP_CLIENT(context));
    const bool same
        = host && ownHost && std::strcmp(host, ownHost) == 0 && guint(port) == gupnp_context_get_port(context);
    g_uri_unref(uri);
    return same;
}

const char receivedKey[] = "tmserverd-body-received";
// How much of a refused chunked body is read and dropped so that the client can still see the
// answer, before the connection is cut.
constexpr gsize maxDrainedBody = 16 * HttpGuard::maxRequestBody;

bool bodyTooLarge(SoupMessageHeaders *headers)
{
    return soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH
        && soup_message_headers_get_content_length(headers) > HttpGuard::maxRequestBody;
}

// A body that still comes passes through without being kept.
void refuseBody(SoupServerMessage *message)
{
    soup_message_body_set_accumulate(soup_server_message_get_request_body(message), FALSE);
    soup_server_message_set_status(message, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(message), "Connection", "close");
}

// A chunked body announces no size: it is counted as it comes, and what was kept of it is let go
// once it passes the limit.
void countChunk(SoupServerMessage *message, GBytes *chunk, gpointer)
{
    const gsize received
        = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(message), receivedKey)) + g_bytes_get_size(chunk);
    g_object_set_data(G_OBJECT(message), receivedKey, GSIZE_TO_POINTER(received));
    if (received > maxDrainedBody) {
        g_socket_shutdown(soup_server_message_get_socket(message), TRUE, TRUE, nullptr);
    } else if (received > gsize(HttpGuard::maxRequestBody)
        && soup_server_message_get_status(message) != SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE) {
        refuseBody(message);
        soup_message_body_truncate(soup_server_message_get_request_body(message));
    }
}

bool unusableSegment(const char *segment)
{
    return std::strcmp(segment, "..") == 0 || std::strlen(segment) > NAME_MAX;
}

const char descriptionDirectory[] = "xml";
const char *const publishedDescriptions[] = {"tmserverdevice.xml", "TmApplicationServer.xml", "TmClientProfile.xml"};

bool publishedDescription(const char *name)
{
    for (const char *published : publishedDescriptions) {
        if (std::strcmp(name, published) == 0)
            return true;
    }
    return false;
}

// GUPnP serves every file whose name merely starts with a hosted one, and the description
// directory may hold what an interrupted write-back left: only the published files leave it.
bool unpublishedDescriptionFile(char **segments)
{
    int depth = 0;
    bool inDescriptionDirectory = false, published = false;
    for (char **segment = segments; *segment; ++segment) {
        if (**segment == '\0' || std::strcmp(*segment, ".") == 0)
            continue;
        if (depth == 0)
            inDescriptionDirectory = std::strcmp(*segment, descriptionDirectory) == 0;
        else if (depth == 1)
            published = publishedDescription(*segment);
        ++depth;
    }
    return inDescriptionDirectory && !(depth == 2 && published);
}

// A path that climbs out of its directory, that no file can have (an escaped NUL, bytes that are
// not UTF-8, a name longer than the file system allows) or that is not to be published.
bool namesNoServedFile(const char *path)
{
    char *decoded = g_uri_unescape_string(path, nullptr);
    if (!decoded)
        return true;
    char **segments = g_strsplit(decoded, "/", -1);
    bool unusable = std::strchr(decoded, '\\') != nullptr || !g_utf8_validate(decoded, -1, nullptr);
    for (char **segment = segments; !unusable && *segment; ++segment)
        unusable = unusableSegment(*segment);
    unusable = unusable || unpublishedDescriptionFile(segments);
    g_strfreev(segments);
    g_free(decoded);
    return unusable;
}

bool unsafeLanguageToken(const char *token)
{
    return std::strchr(token, '/') || std::strchr(token, '\\') || std::strstr(token, "..");
}

// GUPnP appends the preferred language to a hosted file's local path when it looks for a
// localised copy, so a token must never name another directory.
void dropUnsafeLanguages(SoupMessageHeaders *headers)
{
    const char *acceptLanguage = soup_message_headers_get_list(headers, "Accept-Language");
    if (!acceptLanguage)
        return;
    GSList *tokens = soup_header_parse_list(acceptLanguage);
    GString *kept = g_string_new(nullptr);
    bool dropped = false;
    for (GSList *token = tokens; token; token = token->next) {
        const char *text = static_cast<const char *>(token->data);
        if (unsafeLanguageToken(text)) {
            dropped = true;
            continue;
        }
        if (kept->len)
            g_string_append(kept, ", ");
        g_string_append(kept, text);
    }
    if (dropped) {
        if (kept->len)
            soup_message_headers_replace(headers, "Accept-Language", kept->str);
        else
            soup_message_headers_remove(headers, "Accept-Language");
    }
    g_string_free(kept, TRUE);
    soup_header_free_list(tokens);
}

void screenRequest(SoupServerMessage *message, gpointer contextPointer)
{
    auto *context = static_cast<GUPnPContext *>(contextPointer);
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(message);
    if (bodyTooLarge(headers)) {
        // A client that does not wait for "100 Continue" still gets its body drained before the
        // answer.
        refuseBody(message);
        return;
    }
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CHUNKED)
        g_signal_connect(message, "got-chunk", G_CALLBACK(countChunk), nullptr);
    if (!sameHostAndPort(soup_message_headers_get_one(headers, "Host"), context)) {
        soup_server_message_set_status(message, SOUP_STATUS_PRECONDITION_FAILED, nullptr);
        return;
    }
    const char *path = g_uri_get_path(soup_server_message_get_uri(message));
    if (std::strlen(path) >= PATH_MAX) {
        soup_server_message_set_status(message, SOUP_STATUS_REQUEST_URI_TOO_LONG, nullptr);
        return;
    }
    if (namesNoServedFile(path)) {
        soup_server_message_set_status(message, SOUP_STATUS_NOT_FOUND, nullptr);
        return;
    }
    dropUnsafeLanguages(headers);
}

void watchRequest(SoupServer *, SoupServerMessage *message, gpointer context)
{
    g_signal_connect(message, "got-headers", G_CALLBACK(screenRequest), context);
}

} // namespace

void HttpGuard::install(GUPnPContext *context)
{
    g_signal_connect_object(
        gupnp_context_get_server(context), "request-started", G_CALLBACK(watchRequest), context, GConnectFlags(0));
}
