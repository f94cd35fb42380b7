#include "tests/fuzz/fields.h"
#include "upnp/requestscreen.h"

#include <cstdlib>
#include <cstring>

using namespace RequestScreen;

// Fields: method, SOAPAction, path, Host header, own host, own port, Accept-Language, control body.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> f = fields(data, size, 8);
    classify(f[0].c_str(), f[1].empty() ? nullptr : f[1].c_str(), !f[1].empty());
    if (const std::optional<std::string> action = soapActionName(f[1].c_str()))
        soapArgumentNames(f[7].data(), f[7].size(), action->c_str());

    const unsigned status = pathStatus(f[2].c_str());
    if (status != 0 && status != 404 && status != 414)
        std::abort();
    // Whatever comes before it, a climbing segment, plain or escaped, names no served file.
    for (const char *climb : {"/..", "/%2e%2E", "/..%2f"}) {
        if (pathStatus((f[2].c_str() + std::string(climb)).c_str()) == 0)
            std::abort();
    }

    sameHostAndPort(f[3].c_str(), f[4].c_str(), unsigned(std::strtoul(f[5].c_str(), nullptr, 10)));

    std::string kept;
    dropUnsafeLanguages(f[6].c_str(), kept);
    if (kept.find_first_of("/\\") != kept.npos || kept.find("..") != kept.npos)
        std::abort();
    return 0;
}
