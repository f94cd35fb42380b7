#include "upnp/requestscreen.h"

#include "upnp/httplimits.h"

#include <arpa/inet.h>
#include <libsoup/soup.h>
#include <libxml/parser.h>

#include <algorithm>
#include <climits>
#include <cstdint>
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
    g_autofree char *decoded = g_uri_unescape_string(path, nullptr);
    if (!decoded)
        return true;
    g_auto(GStrv) segments = g_strsplit(decoded, "/", -1);
    bool unusable = std::strchr(decoded, '\\') != nullptr || !g_utf8_validate(decoded, -1, nullptr);
    for (char **segment = segments; !unusable && *segment; ++segment)
        unusable = unusableSegment(*segment);
    return unusable || unpublishedDescriptionFile(segments);
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

bool onSubnet(const char *host, const RequestScreen::Subnet &link)
{
    in_addr candidate {}, own {};
    if (!host || !link.address || link.prefixLength > 32 || inet_pton(AF_INET, host, &candidate) != 1
        || inet_pton(AF_INET, link.address, &own) != 1)
        return false;
    const uint32_t mask = link.prefixLength == 0 ? 0 : ~uint32_t(0) << (32 - link.prefixLength);
    return ((ntohl(candidate.s_addr) ^ ntohl(own.s_addr)) & mask) == 0;
}

// Printable ASCII only: what GUri would accept beyond that is nothing a head unit sends.
bool plainUrlText(std::string_view url)
{
    return !url.empty() && url.size() <= HttpLimits::maxCallbackLength
        && std::all_of(url.begin(), url.end(), [](char c) { return c > ' ' && c < 127; });
}

bool usableCallback(std::string_view url, const RequestScreen::Subnet &link)
{
    if (!plainUrlText(url))
        return false;
    g_autoptr(GUri) uri = g_uri_parse(std::string(url).c_str(), G_URI_FLAGS_NONE, nullptr);
    return uri && std::strcmp(g_uri_get_scheme(uri), "http") == 0 && !g_uri_get_userinfo(uri)
        && g_uri_get_port(uri) != 0 && onSubnet(g_uri_get_host(uri), link);
}

// One or more <URL>, with nothing but blanks around them.
bool usableCallbacks(const char *header, const RequestScreen::Subnet &link)
{
    std::string_view rest(header ? header : "");
    unsigned count = 0;
    for (;;) {
        rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
        if (rest.empty())
            return count > 0;
        const size_t end = rest.find('>');
        if (rest.front() != '<' || ++count > HttpLimits::maxCallbacks || end == rest.npos
            || !usableCallback(rest.substr(1, end - 1), link))
            return false;
        rest.remove_prefix(end + 1);
    }
}

// As GUPnP finds an element: the first node of that name among the children, whatever its kind.
xmlNode *childNamed(xmlNode *parent, const char *name)
{
    for (xmlNode *child = parent ? parent->children : nullptr; child; child = child->next) {
        if (child->name && std::strcmp(reinterpret_cast<const char *>(child->name), name) == 0)
            return child;
    }
    return nullptr;
}

// GUPnP's parse of the same body reports its errors; this one keeps quiet.
void ignoreXmlError(void *, xmlError *)
{
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
    g_autoptr(GUri) uri = g_uri_parse(uriText.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri)
        return false;
    const int port = g_uri_get_port(uri) == -1 ? 80 : g_uri_get_port(uri);
    const char *host = g_uri_get_host(uri);
    return host && std::strcmp(host, ownHost) == 0 && unsigned(port) == ownPort;
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

unsigned RequestScreen::subscriptionStatus(Kind kind, const EventHeaders &headers, const Subnet &link)
{
    if (headers.sid && (headers.nt || headers.callback))
        return 400;
    switch (kind) {
    case Kind::Subscribe:
        return headers.nt && std::strcmp(headers.nt, "upnp:event") == 0 && usableCallbacks(headers.callback, link)
            ? 0
            : 412;
    case Kind::Unsubscribe:
        return headers.sid ? 0 : 412;
    default:
        return 0;
    }
}

std::optional<std::vector<std::string>> RequestScreen::soapArgumentNames(
    const char *body, size_t length, const char *action)
{
    if (length == 0 || length > size_t(INT_MAX))
        return std::nullopt;
    xmlParserCtxt *parser = xmlNewParserCtxt();
    if (!parser)
        return std::nullopt;
    parser->sax->serror = ignoreXmlError;
    xmlDoc *document = xmlCtxtReadMemory(parser, body, int(length), nullptr, nullptr,
        XML_PARSE_RECOVER | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlNode *element = document
        ? childNamed(childNamed(childNamed(reinterpret_cast<xmlNode *>(document), "Envelope"), "Body"), action)
        : nullptr;
    std::optional<std::vector<std::string>> names;
    if (element)
        names.emplace();
    for (xmlNode *child = element ? element->children : nullptr; child; child = child->next) {
        if (child->name)
            names->emplace_back(reinterpret_cast<const char *>(child->name));
    }
    xmlFreeDoc(document);
    xmlFreeParserCtxt(parser);
    return names;
}

std::optional<std::string> RequestScreen::soapActionName(const char *soapAction)
{
    const char *hash = soapAction ? std::strchr(soapAction, '#') : nullptr;
    if (!hash)
        return std::nullopt;
    std::string action(hash + 1);
    if (const size_t quote = action.rfind('"'); quote != action.npos)
        action.erase(quote);
    return action;
}
