#include "upnp/requestscreen.h"

#include <libsoup/soup.h>

#include <climits>
#include <cstring>
#include <string_view>

namespace
{

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

bool unusableSegment(const char *segment)
{
    return std::strcmp(segment, "..") == 0 || std::strlen(segment) > NAME_MAX;
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

// As GUPnP reads the header: the action name follows the first '#', up to the last quote.
bool namesQueryStateVariable(const char *soapAction)
{
    const char *name = soapAction ? std::strchr(soapAction, '#') : nullptr;
    if (!name)
        return false;
    std::string_view action(name + 1);
    const auto quote = action.rfind('"');
    if (quote != std::string_view::npos)
        action = action.substr(0, quote);
    return action == "QueryStateVariable";
}

bool unsafeLanguageToken(const char *token)
{
    return std::strchr(token, '/') || std::strchr(token, '\\') || std::strstr(token, "..");
}

} // namespace

RequestScreen::Kind RequestScreen::classify(const char *method, const char *soapAction, bool hasSid)
{
    if (std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0)
        return Kind::File;
    if (std::strcmp(method, "POST") == 0)
        return namesQueryStateVariable(soapAction) ? Kind::Query : Kind::Action;
    if (std::strcmp(method, "SUBSCRIBE") == 0)
        return hasSid ? Kind::Renewal : Kind::Subscribe;
    if (std::strcmp(method, "UNSUBSCRIBE") == 0)
        return Kind::Unsubscribe;
    return Kind::Other;
}

bool RequestScreen::sameHostAndPort(const char *hostHeader, const char *ownHost, unsigned ownPort)
{
    if (!hostHeader || !ownHost)
        return false;
    const std::string uriText = std::string("http://") + hostHeader + "/";
    GUri *uri = g_uri_parse(uriText.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri)
        return false;
    const int port = g_uri_get_port(uri) == -1 ? 80 : g_uri_get_port(uri);
    const char *host = g_uri_get_host(uri);
    const bool same = host && std::strcmp(host, ownHost) == 0 && unsigned(port) == ownPort;
    g_uri_unref(uri);
    return same;
}

unsigned RequestScreen::pathStatus(const char *path)
{
    if (std::strlen(path) >= PATH_MAX)
        return 414;
    return namesNoServedFile(path) ? 404 : 0;
}

bool RequestScreen::dropUnsafeLanguages(const char *acceptLanguage, std::string &kept)
{
    kept.clear();
    bool dropped = false;
    GSList *tokens = soup_header_parse_list(acceptLanguage);
    for (GSList *token = tokens; token; token = token->next) {
        const char *text = static_cast<const char *>(token->data);
        if (unsafeLanguageToken(text)) {
            dropped = true;
            continue;
        }
        if (!kept.empty())
            kept += ", ";
        kept += text;
    }
    soup_header_free_list(tokens);
    return dropped;
}
