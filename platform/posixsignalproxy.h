#pragma once

#include <QObject>

#include <memory>

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
    Q_DISABLE_COPY(PosixSignalProxy)
    std::unique_ptr<PosixSignalProxyPrivate> const d;
};
