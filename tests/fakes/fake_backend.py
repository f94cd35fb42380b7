#!/usr/bin/python3
"""Scriptable back-end for tests: serves the contract (backend/com.quorvex.VehiraServer.xml) on the
session bus, and com.quorvex.VehiraServer.FakeControl on the same object "/" to script it:

  Program(s method, s mode, v value, i errorCode, s errorText, u delayMs)
      How later calls of method are answered, after delayMs. Modes: "reply" (value, errorCode,
      errorText), where a query method replies value alone, or a D-Bus error for a non-zero code;
      "echo": the call's arguments joined by "|"; "wrong-signature": a bare int32; "dbus-error";
      "no-reply": never.
  Calls() -> s      JSON list of [method, arguments, received, replied or null] (monotonic seconds)
  Emit(s signal, s value)
  Reset()           forgets programs and calls

Methods not programmed answer at once with an empty value (0 for a count) and code 0.
"""
import json
import signal
import time
from pathlib import Path

from gi.repository import Gio, GLib

NAME = "com.quorvex.VehiraServer"
CONTRACT = (Path(__file__).resolve().parents[2] / "backend" / f"{NAME}.xml").read_text()
CONTROL = f"""<node><interface name="{NAME}.FakeControl">
<method name="Program"><arg type="s"/><arg type="s"/><arg type="v"/><arg type="i"/><arg type="s"/><arg type="u"/>
</method><method name="Calls"><arg type="s" direction="out"/></method>
<method name="Emit"><arg type="s"/><arg type="s"/></method><method name="Reset"/></interface></node>"""
programs, calls, unanswered = {}, [], []


def answer(connection, invocation, method, args, program):
    mode, value, code, text, _ = program
    result = invocation.get_method_info().out_args[0].signature
    if mode == "wrong-signature":
        reply = invocation.get_message().new_method_reply()
        reply.set_body(GLib.Variant("(i)", (7,)))
        connection.send_message(reply, Gio.DBusSendMessageFlags.NONE)
        unanswered.append(invocation)
        return
    if mode == "dbus-error" or (result == "s" and code):
        invocation.return_dbus_error(f"{NAME}.FakeError", text or f"scripted failure of {method}")
        return
    if mode == "echo" and args:
        value = "|".join(map(str, args))
    if result == "s":
        invocation.return_value(GLib.Variant("(s)", (value or "",)))
    else:
        empty = 0 if result == "(uis)" else ""
        invocation.return_value(GLib.Variant(f"({result})", ((value or empty, code, text),)))


def backend_call(connection, sender, path, interface, method, parameters, invocation):
    args = list(parameters.unpack())
    call = [method, args, time.monotonic(), None]
    calls.append(call)
    program = programs.get(method, ("reply", None, 0, "", 0))
    if program[0] == "no-reply":
        unanswered.append(invocation)
        return

    def send():
        call[3] = time.monotonic()
        answer(connection, invocation, method, args, program)
        return GLib.SOURCE_REMOVE

    GLib.timeout_add(program[4], send)


def control_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "Program":
        name, *program = parameters.unpack()
        programs[name] = tuple(program)
    elif method == "Emit":
        connection.emit_signal(None, "/", NAME, parameters[0], GLib.Variant("(s)", (parameters[1],)))
    elif method == "Reset":
        programs.clear()
        calls.clear()
    invocation.return_value(GLib.Variant("(s)", (json.dumps(calls),)) if method == "Calls" else None)


def main():
    connection = Gio.bus_get_sync(Gio.BusType.SESSION)
    for xml, handler in ((CONTRACT, backend_call), (CONTROL, control_call)):
        connection.register_object("/", Gio.DBusNodeInfo.new_for_xml(xml).interfaces[0], handler, None, None)
    Gio.bus_own_name_on_connection(connection, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE, None, None)
    loop = GLib.MainLoop()
    for number in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, loop.quit)
    loop.run()


if __name__ == "__main__":
    main()
