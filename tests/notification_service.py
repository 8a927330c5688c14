#!/usr/bin/python3
"""A stand-in desktop notification service for tests, on the bus that DBUS_SESSION_BUS_ADDRESS
names.

Prints "READY" once it owns org.freedesktop.Notifications, then one JSON object per line for
each Notify call: its arguments by name and the id it answered. Reads commands from stdin:
    invoke ID KEY     emit ActivationToken(ID, "token-ID") and ActionInvoked(ID, KEY), as a
                      click on the notification does
Exits when its stdin closes, so a test that dies takes it along.

    --markup   list "body-markup" among the capabilities
    --hang     never answer Notify
"""
import argparse
import json
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"


class service(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, PATH)
        self.options = options
        self.last_id = 0

    @dbus.service.method(NAME, out_signature="as")
    def GetCapabilities(self):
        return ["body", "actions"] + (["body-markup"] if self.options.markup else [])

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u",
                         async_callbacks=("reply", "error"))
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints,
               expire_timeout, reply, error):
        if replaces_id == 0:
            self.last_id += 1
        shown_id = replaces_id or self.last_id
        print(json.dumps({"app_name": app_name, "replaces_id": int(replaces_id),
                          "app_icon": app_icon, "summary": summary, "body": body,
                          "actions": list(actions),
                          "hints": dict(hints),
                          "hint_types": {k: type(v).__name__ for k, v in hints.items()},
                          "expire_timeout": int(expire_timeout), "id": shown_id}), flush=True)
        if not self.options.hang:
            reply(dbus.UInt32(shown_id))

    @dbus.service.signal(NAME, signature="us")
    def ActivationToken(self, notification_id, token):
        pass

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, notification_id, action_key):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--markup", action="store_true")
    parser.add_argument("--hang", action="store_true")
    options = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    notifications = service(bus, options)
    loop = GLib.MainLoop()

    pending = b""

    def commands(fd, condition):
        nonlocal pending
        data = os.read(fd, 4096)  # unbuffered: each wake-up may bring several lines
        if not data:
            loop.quit()
            return False
        *lines, pending = (pending + data).split(b"\n")
        for line in lines:
            words = line.decode().split()
            if len(words) == 3 and words[0] == "invoke":
                notification_id = dbus.UInt32(int(words[1]))
                notifications.ActivationToken(notification_id, f"token-{words[1]}")
                notifications.ActionInvoked(notification_id, words[2])
        return True

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, commands)
    print("READY", flush=True)
    loop.run()
    del name


if __name__ == "__main__":
    main()
