#pragma once

#include <optional>
#include <string>
#include <vector>

// What the daemon decides about a request from its head alone: plain functions of the request's
// text, so that they can be fed anything.
namespace RequestScreen
{

enum class Kind { File, Action, Query, Subscribe, Renewal, Unsubscribe, Other };

// A POST is a Query when its SOAPAction names QueryStateVariable; a SUBSCRIBE with a SID renews.
Kind classify(const char *method, const char *soapAction, bool hasSid);

// The Host header names the server's own address and port (port 80 when it names none).
bool sameHostAndPort(const char *hostHeader, const char *ownHost, unsigned ownPort);

// 0 for a path that may name a served file, else the HTTP status that refuses it: 414 past the
// path length limit; 404 for a path that climbs out of its directory, that no file can have (an
// escaped NUL, bytes that are not UTF-8, a name longer than the file system allows) or that names
// anything in xml/ but the three published descriptions.
unsigned pathStatus(const char *path);

// The Accept-Language value without the tokens that could name another directory (GUPnP appends
// the preferred language to a hosted file's path); returns false when every token is safe.
bool dropUnsafeLanguages(const char *acceptLanguage, std::string &kept);

// The names of the children of Envelope/Body/<action> in a control request's body, found as GUPnP
// finds them (which warns for an argument it cannot find); none when there is no such element.
std::optional<std::vector<std::string>> soapArgumentNames(const char *body, size_t length, const char *action);

// The action a SOAPAction header names, as GUPnP reads it; none without '#', which GUPnP refuses
// before it parses the body. GUPnP answers 400 to a body without that action's element, and keeps
// the document it parsed.
std::optional<std::string> soapActionName(const char *soapAction);

// The event headers of a SUBSCRIBE or UNSUBSCRIBE, null where absent.
struct EventHeaders {
    const char *sid;
    const char *nt;
    const char *callback;
};

// The link a callback must be on: the server's own IPv4 address and its prefix length.
struct Subnet {
    const char *address;
    unsigned prefixLength;
};

// 0 for an event request GUPnP may see, else the status that refuses it: 400 for a SID that comes
// with NT or CALLBACK; 412 for an UNSUBSCRIBE without SID, or a new subscription whose NT is not
// "upnp:event" or whose CALLBACK is not one to HttpLimits::maxCallbacks "<http://a.b.c.d[:port]/path>"
// URLs on the link's subnet, within HttpLimits::maxCallbackLength. A callback anywhere else would
// have the device send its events, on a head unit's word, to any host it can reach.
unsigned subscriptionStatus(Kind kind, const EventHeaders &headers, const Subnet &link);

// The URLs of a CALLBACK header, in order: each "<URL>", with only blanks around them; none when
// the header is of any other form.
std::vector<std::string> callbackUrls(const char *header);

} // namespace RequestScreen
