#!/usr/bin/python3
"""A BlueZ 4 stand-in on the system bus: org.bluez.Manager on "/" and one adapter.

"/" also answers BlueZ 5's GetManagedObjects with an adapter aliased "BlueZ 5 view", so a
client that asks BlueZ 5 when BlueZ 4 has answered shows it.

usage: fake_bluez4.py MODE [NAME]
  named NAME   DefaultAdapter answers the adapter, whose properties hold Name
  no-adapter   DefaultAdapter answers org.bluez.Error.NoSuchAdapter
  nameless     the adapter's properties have no Name
  silent       owns org.bluez and never answers anything

Each method call is printed on standard output as it arrives. Ends by itself after a minute.
"""
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ADAPTER_PATH = "/org/bluez/1234/hci0"
LIFETIME_SECONDS = 60


class NoSuchAdapter(dbus.DBusException):
    _dbus_error_name = "org.bluez.Error.NoSuchAdapter"


def note(call):
    print(call, flush=True)


class Manager(dbus.service.Object):
    def __init__(self, bus, mode):
        super().__init__(bus, "/")
        self.mode = mode

    @dbus.service.method("org.bluez.Manager", out_signature="o")
    def DefaultAdapter(self):
        note("DefaultAdapter")
        if self.mode == "no-adapter":
            raise NoSuchAdapter("No such adapter")
        return dbus.ObjectPath(ADAPTER_PATH)

    @dbus.service.method("org.freedesktop.DBus.ObjectManager", out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        note("GetManagedObjects")
        adapter = dbus.Dictionary({"Alias": "BlueZ 5 view", "Address": "00:11:22:AA:BB:CC"}, signature="sv")
        return {dbus.ObjectPath("/org/bluez/hci0"): {"org.bluez.Adapter1": adapter}}


class Adapter(dbus.service.Object):
    def __init__(self, bus, name):
        super().__init__(bus, ADAPTER_PATH)
        self.name = name

    @dbus.service.method("org.bluez.Adapter", out_signature="a{sv}")
    def GetProperties(self):
        note("GetProperties")
        properties = {"Address": "00:11:22:AA:BB:CC", "Powered": True}
        if self.name is not None:
            properties["Name"] = self.name
        return dbus.Dictionary(properties, signature="sv")


def main():
    mode = sys.argv[1]
    name = sys.argv[2] if mode == "named" else None
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    if mode == "silent":
        bus.request_name("org.bluez")
        time.sleep(LIFETIME_SECONDS)
        return
    exported = [Manager(bus, mode), Adapter(bus, name)]
    bus.request_name("org.bluez")
    loop = GLib.MainLoop()
    GLib.timeout_add_seconds(LIFETIME_SECONDS, loop.quit)
    loop.run()
    for service_object in exported:
        service_object.remove_from_connection()


if __name__ == "__main__":
    main()
