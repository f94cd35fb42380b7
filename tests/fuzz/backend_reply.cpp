#include "backend/busclient.h"
#include "bridge/upnperrortext.h"
#include "tests/fuzz/fields.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <unistd.h>

namespace
{

// A call to answer: messages need a started bus, and one on a pipe starts without a peer.
sd_bus_message *sealedCall()
{
    int pipeEnds[2];
    sd_bus *bus = nullptr;
    sd_bus_message *call = nullptr;
    if (pipe(pipeEnds) != 0 || sd_bus_new(&bus) < 0 || sd_bus_set_fd(bus, pipeEnds[0], pipeEnds[1]) < 0
        || sd_bus_start(bus) < 0 || sd_bus_message_new_method_call(bus, &call, "a.b", "/", "a.b", "M") < 0
        || sd_bus_message_seal(call, 1, 0) < 0)
        std::abort();
    return call;
}

} // namespace

// Fields: the back-end's error name and message, then a record's error code and error text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static sd_bus_message *const call = sealedCall();
    const std::vector<std::string> f = fields(data, size, 4);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    sd_bus_error_set(&error, f[0].c_str(), f[1].empty() ? nullptr : f[1].c_str());
    // sd-bus refuses what a peer could not send either: names that are no error names, text that is not UTF-8.
    if (sd_bus_message_new_method_error(call, &reply, &error) >= 0
        && !busErrorText(reply).startsWith(QString::fromUtf8(error.name)))
        std::abort();
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (upnpErrorText(int(std::strtol(f[2].c_str(), nullptr, 10)), QString::fromUtf8(f[3].c_str())).isEmpty())
        std::abort();
    return 0;
}
