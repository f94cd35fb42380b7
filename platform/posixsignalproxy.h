#pragma once

#include <QObject>

class PosixSignalProxyPrivate;

// Turns SIGHUP, SIGTERM and SIGINT into Qt signals delivered on the thread that owns the proxy.
// One proxy per process.
class PosixSignalProxy : public QObject
{
    Q_OBJECT
public:
    explicit PosixSignalProxy(QObject *parent = nullptr);
    ~PosixSignalProxy() override;

Q_SIGNALS:
    void posixSIGHUP();
    void posixSIGTERM();
    void posixSIGINT();

private:
    PosixSignalProxyPrivate *d;
};
