#!/usr/bin/python3
"""Marble as its D-Bus interface shows it, slow to draw: org.kde.marble at
/Marble on the session bus, whose setZoom takes DELAY seconds, as a real
Marble does while it draws at a high zoom. Owns the name, runs COMMAND,
and ends with it, with its status; each centre set is appended to
CENTRES as "LATITUDE LONGITUDE".

Usage: fake_marble.py CENTRES DELAY COMMAND...
"""
import subprocess
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib


class Marble(dbus.service.Object):
    def __init__(self, bus, centres, delay):
        super().__init__(bus, "/Marble")
        self.centres = centres
        self.delay = delay
        self.centre = (0.0, 0.0)  # longitude, latitude, as Marble has it

    @dbus.service.method("org.kde.marble", in_signature="i")
    def setZoom(self, zoom):
        time.sleep(self.delay)  # a slow Marble's drawing: the pace under test

    @dbus.service.method("org.kde.marble", in_signature="(dd)")
    def setCenter(self, centre):
        self.centre = (float(centre[0]), float(centre[1]))
        with open(self.centres, "a", encoding="ascii") as out:
            out.write(f"{self.centre[1]:.6f} {self.centre[0]:.6f}\n")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != "org.kde.marble" or name != "center":
            raise dbus.exceptions.DBusException(
                "no such property", name="org.freedesktop.DBus.Error.UnknownProperty")
        return dbus.Struct(self.centre, signature="dd")


def main():
    centres, delay, command = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName("org.kde.marble", bus)
    marble = Marble(bus, centres, delay)
    child = subprocess.Popen(command)
    loop = GLib.MainLoop()

    def check():
        if child.poll() is None:
            return True
        loop.quit()
        return False

    GLib.timeout_add(20, check)
    loop.run()
    del name, marble
    sys.exit(child.returncode)


if __name__ == "__main__":
    main()
