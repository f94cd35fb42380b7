#!/usr/bin/python3
"""Scriptable stand-in for the back-end service, for tests and benchmarks.

Run it on a session bus (DBUS_SESSION_BUS_ADDRESS). It owns the name
"com.quorvex.VehiraServer" and serves two interfaces on the object "/":

* "com.quorvex.VehiraServer": the ten methods and three signals of the contract
  (backend/com.quorvex.VehiraServer.xml).
* "com.quorvex.VehiraServer.FakeControl", to script it:

  Program(s method, v value, i errorCode, s errorText, u delayMs)
      How calls of `method` that arrive from now on are answered: after delayMs
      milliseconds, with (value, errorCode, errorText). value is text, or an
      unsigned number for GetMaxNumProfiles. The three query methods reply a bare
      string; for them a non-zero errorCode is sent as a D-Bus error reply.
  SetReplyMode(s method, s mode)
      "normal" (the default); "echo": the value is the call's arguments as text,
      joined by "|" (for a method without arguments, the programmed value); "wrong-signature": the reply is a bare int32; "dbus-error":
      a D-Bus error reply named "com.quorvex.VehiraServer.FakeError"; "no-reply":
      never answer (the caller's timeout decides).
  CallLog() -> s
      JSON list, one object per call in arrival order:
      {"method": name, "args": [...], "received": t, "replied": t or null}
      where t is seconds on the fake's monotonic clock.
  ClearLog()
  Emit(s signal, s value)
      Emits AppListUpdateStateChanged, AppStatusUpdateStateChanged or
      UnusedProfileIDsChanged with value.
  Reset()
      Forgets every Program and SetReplyMode and clears the call log.

Methods not programmed answer at once with an empty value (0 for
GetMaxNumProfiles) and errorCode 0. Ends on SIGTERM or SIGINT.

From a shell, for instance:
  gdbus call --session -d com.quorvex.VehiraServer -o / \
      -m com.quorvex.VehiraServer.FakeControl.Program LaunchApplication '<"app://x">' 813 '' 0
"""

import json
import signal
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "com.quorvex.VehiraServer"
BACKEND = "com.quorvex.VehiraServer"
CONTROL = "com.quorvex.VehiraServer.FakeControl"
FAKE_ERROR = "com.quorvex.VehiraServer.FakeError"

COUNT_METHODS = {"GetMaxNumProfiles"}
QUERY_METHODS = {"GetUnusedProfileIDs", "GetAppListUpdateState", "GetAppStatusUpdateState"}
REPLY_MODES = {"normal", "echo", "wrong-signature", "dbus-error", "no-reply"}


def plain(value):
    """D-Bus value as a JSON-friendly Python value."""
    if isinstance(value, (dbus.String, str)):
        return str(value)
    return int(value)


class Program:
    def __init__(self, value=None, error_code=0, error_text="", delay_ms=0):
        self.value = value
        self.error_code = error_code
        self.error_text = error_text
        self.delay_ms = delay_ms


class FakeBackend(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/")
        self._programs = {}
        self._modes = {}
        self._log = []

    # The contract.

    @dbus.service.method(BACKEND, in_signature="sus", async_callbacks=("reply", "error"))
    def GetApplicationList(self, appListingFilter, profileId, urlBase, reply, error):
        self._answer("GetApplicationList", (appListingFilter, profileId, urlBase), reply, error)

    @dbus.service.method(BACKEND, in_signature="su", async_callbacks=("reply", "error"))
    def LaunchApplication(self, appId, profileId, reply, error):
        self._answer("LaunchApplication", (appId, profileId), reply, error)

    @dbus.service.method(BACKEND, in_signature="su", async_callbacks=("reply", "error"))
    def TerminateApplication(self, appId, profileId, reply, error):
        self._answer("TerminateApplication", (appId, profileId), reply, error)

    @dbus.service.method(BACKEND, in_signature="s", async_callbacks=("reply", "error"))
    def GetApplicationStatus(self, appId, reply, error):
        self._answer("GetApplicationStatus", (appId,), reply, error)

    @dbus.service.method(BACKEND, in_signature="", async_callbacks=("reply", "error"))
    def GetMaxNumProfiles(self, reply, error):
        self._answer("GetMaxNumProfiles", (), reply, error)

    @dbus.service.method(BACKEND, in_signature="us", async_callbacks=("reply", "error"))
    def SetClientProfile(self, profileId, clientProfile, reply, error):
        self._answer("SetClientProfile", (profileId, clientProfile), reply, error)

    @dbus.service.method(BACKEND, in_signature="u", async_callbacks=("reply", "error"))
    def GetClientProfile(self, profileId, reply, error):
        self._answer("GetClientProfile", (profileId,), reply, error)

    @dbus.service.method(BACKEND, in_signature="", async_callbacks=("reply", "error"))
    def GetUnusedProfileIDs(self, reply, error):
        self._answer("GetUnusedProfileIDs", (), reply, error)

    @dbus.service.method(BACKEND, in_signature="", async_callbacks=("reply", "error"))
    def GetAppListUpdateState(self, reply, error):
        self._answer("GetAppListUpdateState", (), reply, error)

    @dbus.service.method(BACKEND, in_signature="", async_callbacks=("reply", "error"))
    def GetAppStatusUpdateState(self, reply, error):
        self._answer("GetAppStatusUpdateState", (), reply, error)

    @dbus.service.signal(BACKEND, signature="s")
    def AppListUpdateStateChanged(self, newValue):
        pass

    @dbus.service.signal(BACKEND, signature="s")
    def AppStatusUpdateStateChanged(self, newValue):
        pass

    @dbus.service.signal(BACKEND, signature="s")
    def UnusedProfileIDsChanged(self, newValue):
        pass

    # The control interface.

    @dbus.service.method(CONTROL, in_signature="svisu", out_signature="")
    def Program(self, method, value, errorCode, errorText, delayMs):
        self._programs[str(method)] = Program(value, int(errorCode), str(errorText), int(delayMs))

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def SetReplyMode(self, method, mode):
        if mode not in REPLY_MODES:
            raise dbus.exceptions.DBusException("unknown reply mode " + mode, name=FAKE_ERROR)
        self._modes[str(method)] = str(mode)

    @dbus.service.method(CONTROL, in_signature="", out_signature="s")
    def CallLog(self):
        return json.dumps(self._log)

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def ClearLog(self):
        self._log = []

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def Emit(self, signal_name, value):
        emitters = {
            "AppListUpdateStateChanged": self.AppListUpdateStateChanged,
            "AppStatusUpdateStateChanged": self.AppStatusUpdateStateChanged,
            "UnusedProfileIDsChanged": self.UnusedProfileIDsChanged,
        }
        if signal_name not in emitters:
            raise dbus.exceptions.DBusException("unknown signal " + signal_name, name=FAKE_ERROR)
        emitters[signal_name](value)

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def Reset(self):
        self._programs = {}
        self._modes = {}
        self._log = []

    # Answering.

    def _answer(self, method, args, reply, error):
        entry = {"method": method, "args": [plain(a) for a in args], "received": time.monotonic(), "replied": None}
        self._log.append(entry)
        program = self._programs.get(method, Program())
        mode = self._modes.get(method, "normal")
        if mode == "no-reply":
            return

        def send():
            entry["replied"] = time.monotonic()
            self._send(method, args, program, mode, reply, error)
            return GLib.SOURCE_REMOVE

        if program.delay_ms > 0:
            GLib.timeout_add(program.delay_ms, send)
        else:
            send()

    @staticmethod
    def _send(method, args, program, mode, reply, error):
        if mode == "wrong-signature":
            reply(dbus.Int32(7))
            return
        if mode == "dbus-error":
            error(dbus.exceptions.DBusException("scripted failure of " + method, name=FAKE_ERROR))
            return
        value = "|".join(str(plain(a)) for a in args) if mode == "echo" and args else program.value
        if method in QUERY_METHODS:
            if program.error_code != 0:
                error(dbus.exceptions.DBusException(program.error_text, name=FAKE_ERROR))
            else:
                reply(dbus.String("" if value is None else str(value)))
            return
        if method in COUNT_METHODS:
            record = (dbus.UInt32(0 if value is None else int(value)), dbus.Int32(program.error_code),
                      dbus.String(program.error_text))
            reply(dbus.Struct(record, signature="uis"))
            return
        record = (dbus.String("" if value is None else str(value)), dbus.Int32(program.error_code),
                  dbus.String(program.error_text))
        reply(dbus.Struct(record, signature="sis"))


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
    backend = FakeBackend(bus)
    loop = GLib.MainLoop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
    loop.run()
    del backend, name


if __name__ == "__main__":
    main()
