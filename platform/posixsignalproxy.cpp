#include "platform/posixsignalproxy.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Written by the signal handler, which may run on any thread; a pipe write is async-signal-safe.
int signalPipeWriteEnd = -1;

void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = write(signalPipeWriteEnd, &byte, 1);
    errno = savedErrno;
}

const int forwardedSignals[] = {SIGHUP, SIGTERM, SIGINT};

} // namespace

class PosixSignalProxyPrivate
{
public:
    int pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
};

PosixSignalProxy::PosixSignalProxy(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<PosixSignalProxyPrivate>())
{
    if (pipe2(d->pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Cannot create the signal pipe; SIGHUP, SIGTERM and SIGINT keep their default action");
        return;
    }
    signalPipeWriteEnd = d->pipe[1];
    d->notifier = std::make_unique<QSocketNotifier>(d->pipe[0], QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (read(d->pipe[0], &byte, 1) == 1) {
            if (byte == SIGHUP)
                Q_EMIT posixSIGHUP();
            else if (byte == SIGTERM)
                Q_EMIT posixSIGTERM();
            else if (byte == SIGINT)
                Q_EMIT posixSIGINT();
        }
    });

    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : forwardedSignals)
        sigaction(signalNumber, &action, nullptr);
}

PosixSignalProxy::~PosixSignalProxy()
{
    if (d->pipe[0] >= 0) {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        for (int signalNumber : forwardedSignals)
            sigaction(signalNumber, &action, nullptr);
        signalPipeWriteEnd = -1;
        d->notifier.reset();
        close(d->pipe[0]);
        close(d->pipe[1]);
    }
}
