#include "tests/tables/table.h"
#include "upnp/requestscreen.h"

using namespace RequestScreen;

namespace
{

const std::string on = "<http://10.77.0.2:9/>";
// The URL between the brackets is 512 bytes long, or 513.
const std::string longest = "<http://10.77.0.2:9/" + std::string(493, 'a') + ">";
const std::string tooLong = "<http://10.77.0.2:9/" + std::string(494, 'a') + ">";
const std::string four = "<http://10.77.0.2:1/><http://10.77.0.2:2/> <http://10.77.0.2:3/>\t<http://10.77.0.2:4/>";
const std::string five = four + on;
const std::string joined = on + ", " + on;

void subscriptions()
{
    const struct {
        const char *row;
        Kind kind;
        EventHeaders headers;
        unsigned status;
    } rows[] = {
        {"callback on the link", Kind::Subscribe, {nullptr, "upnp:event", on.c_str()}, 0},
        {"callback high in the /24", Kind::Subscribe, {nullptr, "upnp:event", "<http://10.77.0.254/x>"}, 0},
        {"callback off the link", Kind::Subscribe, {nullptr, "upnp:event", "<http://10.77.1.2:9/>"}, 412},
        {"callback as a hostname", Kind::Subscribe, {nullptr, "upnp:event", "<http://headunit.local:9/>"}, 412},
        {"callback with userinfo", Kind::Subscribe, {nullptr, "upnp:event", "<http://user@10.77.0.2:9/>"}, 412},
        {"callback of another scheme", Kind::Subscribe, {nullptr, "upnp:event", "<https://10.77.0.2:9/>"}, 412},
        {"callback without brackets", Kind::Subscribe, {nullptr, "upnp:event", "http://10.77.0.2:9/"}, 412},
        {"two CALLBACK headers, joined", Kind::Subscribe, {nullptr, "upnp:event", joined.c_str()}, 412},
        {"callback on port 0", Kind::Subscribe, {nullptr, "upnp:event", "<http://10.77.0.2:0/>"}, 412},
        {"four callbacks", Kind::Subscribe, {nullptr, "upnp:event", four.c_str()}, 0},
        {"five callbacks", Kind::Subscribe, {nullptr, "upnp:event", five.c_str()}, 412},
        {"callback of 512 bytes", Kind::Subscribe, {nullptr, "upnp:event", longest.c_str()}, 0},
        {"callback of 513 bytes", Kind::Subscribe, {nullptr, "upnp:event", tooLong.c_str()}, 412},
        {"NT of another kind", Kind::Subscribe, {nullptr, "upnp:propchange", on.c_str()}, 412},
        {"renewal", Kind::Renewal, {"uuid:1", nullptr, nullptr}, 0},
        {"SID with NT", Kind::Renewal, {"uuid:1", "upnp:event", nullptr}, 400},
        {"UNSUBSCRIBE without SID", Kind::Unsubscribe, {nullptr, nullptr, nullptr}, 412},
    };
    for (const auto &row : rows)
        expect(row.row, subscriptionStatus(row.kind, row.headers, Subnet {"10.77.0.1", 24}), row.status);
    expect("callback on a /16",
        subscriptionStatus(Kind::Subscribe, {nullptr, "upnp:event", "<http://10.77.200.2/>"}, Subnet {"10.77.0.1", 16}),
        0u);
}

void paths()
{
    std::string deep = "/icons/";
    for (int segment = 0; segment < 2044; ++segment)
        deep += "a/";
    const struct {
        std::string path;
        unsigned status;
    } rows[] = {
        {"/xml/tmserverdevice.xml", 0},
        {"/icons/icon.png", 0},
        {"/xml/tmserverdevice.xml~", 404},
        {"/xml/xml/tmserverdevice.xml", 404},
        {"/icons/../../etc/passwd", 404},
        {"/icons/%2e%2E/x", 404},
        {"/icons/..%5c..%5cetc", 404},
        {"/icons/%ff%fe.png", 404},
        {"/icons/%00", 404},
        {"/icons/" + std::string(255, 'a'), 0},
        {"/icons/" + std::string(256, 'a'), 404},
        {deep, 0},
        {deep + "a", 414},
    };
    for (const auto &row : rows)
        expect(row.path.substr(0, 40), pathStatus(row.path.c_str()), row.status);
}

void requestHeads()
{
    expect("Host without port, server on 80", sameHostAndPort("10.77.0.1", "10.77.0.1", 80), true);
    expect("Host without port, server elsewhere", sameHostAndPort("10.77.0.1", "10.77.0.1", 50123), false);
    // GUPnP appends the preferred language to a hosted file's path.
    const struct {
        const char *header;
        bool dropped;
        std::string kept;
    } languages[] = {
        {"de;q=0.9, .., en", true, "de;q=0.9, en"},
        {"x/y, a\\b", true, ""},
        {"de-DE, en", false, "de-DE, en"},
    };
    std::string kept;
    for (const auto &row : languages) {
        expect(row.header, dropUnsafeLanguages(row.header, kept), row.dropped);
        expect(row.header, kept, row.kept);
    }
}

} // namespace

int main()
{
    subscriptions();
    paths();
    requestHeads();
    return failedRows;
}
