#include "tests/fuzz/fields.h"
#include "upnp/requestscreen.h"

#include <libsoup/soup.h>

#include <cstdlib>

using namespace RequestScreen;

// Fields: kind (first byte), SID, NT, CALLBACK (each absent when empty), own address, and one whose
// length (mod 33) is the prefix length.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> f = fields(data, size, 6);
    const auto header = [](const std::string &value) { return value.empty() ? nullptr : value.c_str(); };
    const Kind kind = Kind(f[0].empty() ? 0 : (unsigned char)f[0][0] % 7);
    const EventHeaders headers {header(f[1]), header(f[2]), header(f[3])};
    const unsigned status = subscriptionStatus(kind, headers, Subnet {f[4].c_str(), unsigned(f[5].size() % 33)});
    if (status != 0 && status != 400 && status != 412)
        std::abort();
    // Every callback of a granted subscription is one a NOTIFY can be sent to.
    if (kind == Kind::Subscribe && status == 0) {
        const std::vector<std::string> urls = callbackUrls(headers.callback);
        if (urls.empty())
            std::abort();
        for (const std::string &url : urls) {
            g_autoptr(SoupMessage) notify = soup_message_new("NOTIFY", url.c_str());
            if (!notify)
                std::abort();
        }
    }
    return 0;
}
