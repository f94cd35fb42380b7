"""Owns org.bluez on the system bus and takes every method call without ever answering it."""
import dbus
import dbus.lowlevel
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
unanswered = []


def swallow(_connection, message):
    if message.get_type() != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
        return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
    unanswered.append(message)
    return dbus.lowlevel.HANDLER_RESULT_HANDLED


bus.add_message_filter(swallow)
bus.request_name("org.bluez", dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
GLib.MainLoop().run()
