// The floor of the daemon's back-end leg: the call the daemon makes for GetApplicationStatus,
// made directly to the back-end over sd-bus with the names of the generated contract, one at a time.
//
//   tmbench_dbus_floor COUNT [watched]
//
// Each call blocks in sd_bus_call(), or with "watched" goes out through the daemon's BusClient and
// is awaited in a running event loop, as the daemon awaits its calls. Prints each call's duration
// in microseconds, one a line, after 100 calls that are not counted.
#include "vehiraservercontract.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace
{
const char service[] = "com.quorvex.VehiraServer";
const char appId[] = "0x0001";

bool succeeded(sd_bus_message *reply)
{
    const char *value = nullptr;
    int errorCode = 0;
    const char *errorText = nullptr;
    return reply && sd_bus_message_read(reply, "(sis)", &value, &errorCode, &errorText) > 0 && errorCode == 0;
}

bool blockingCall(sd_bus *bus)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    sd_bus_call_method(bus, service, "/", VehiraServer::interfaceName, VehiraServer::GetApplicationStatus.name, &error,
        &reply, VehiraServer::GetApplicationStatus.inSignature, appId);
    const bool ok = succeeded(reply);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return ok;
}

bool watchedCall(BusClient &backend)
{
    QEventLoop loop;
    bool ok = false;
    const std::unique_ptr<BusCall> call
        = backend.call(VehiraServer::GetApplicationStatus, {std::string(appId)}, [&](sd_bus_message *reply) {
              ok = succeeded(reply);
              loop.quit();
          });
    if (call)
        loop.exec();
    return ok;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    const bool watched = argc > 2 && qstrcmp(argv[2], "watched") == 0;
    if (count < 1) {
        std::fprintf(stderr, "usage: %s COUNT [watched]\n", argv[0]);
        return 2;
    }
    sd_bus *bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) {
        std::fprintf(stderr, "no session bus\n");
        return 1;
    }
    BusClient backend(service, "/", VehiraServer::interfaceName, 25000000);

    const int warmUp = std::min(count, 100);
    QElapsedTimer timer;
    for (int call = 0; call < warmUp + count; ++call) {
        timer.start();
        const bool ok = watched ? watchedCall(backend) : blockingCall(bus);
        const qint64 elapsed = timer.nsecsElapsed();
        if (!ok) {
            std::fprintf(stderr, "call failed\n");
            sd_bus_flush_close_unref(bus);
            return 1;
        }
        if (call >= warmUp)
            std::printf("%.1f\n", double(elapsed) / 1000.0);
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
