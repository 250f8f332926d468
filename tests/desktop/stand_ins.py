#!/usr/bin/python3
"""The desktop's status-notifier watcher and notification service, as small
as the console needs them, on the session bus of DBUS_SESSION_BUS_ADDRESS.
Prints one JSON line per event: {"kind": "ready"}, {"kind": "item",
"service": ...} when a status item registers, {"kind": "notify", "summary":
..., "body": ...} for each notification."""

import json
import sys

from gi.repository import Gio, GLib

WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>"""

NOTIFICATIONS_XML = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
  </interface>
</node>"""

items = []
sent = [0]


def report(kind, **fields):
    print(json.dumps(dict(kind=kind, **fields)), flush=True)


def watcher_call(connection, sender, path, interface, method, args, invocation):
    if method == "RegisterStatusNotifierItem":
        service = args.unpack()[0]
        # An item may name itself by path only; then its sender is the service.
        if service.startswith("/"):
            service = sender
        items.append(service)
        report("item", service=service)
        connection.emit_signal(None, path, interface, "StatusNotifierItemRegistered",
                               GLib.Variant("(s)", (service,)))
    invocation.return_value(None)


def watcher_property(connection, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


def notifications_call(connection, sender, path, interface, method, args, invocation):
    if method == "Notify":
        values = args.unpack()
        sent[0] += 1
        report("notify", app=values[0], summary=values[3], body=values[4])
        invocation.return_value(GLib.Variant("(u)", (sent[0],)))
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["body"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("stand-in", "test", "1", "1.2")))
    else:
        invocation.return_value(None)


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    watcher = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
    notifications = Gio.DBusNodeInfo.new_for_xml(NOTIFICATIONS_XML).interfaces[0]
    bus.register_object("/StatusNotifierWatcher", watcher, watcher_call, watcher_property, None)
    bus.register_object("/org/freedesktop/Notifications", notifications, notifications_call,
                        None, None)
    for name in ("org.kde.StatusNotifierWatcher", "org.freedesktop.Notifications"):
        reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "RequestName",
                              GLib.Variant("(su)", (name, 4)), GLib.VariantType("(u)"),
                              Gio.DBusCallFlags.NONE, -1, None)
        if reply.unpack()[0] != 1:
            report("error", name=name)
            sys.exit(1)
    report("ready")
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
