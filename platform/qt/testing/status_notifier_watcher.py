#!/usr/bin/python3
"""A StatusNotifierWatcher with a host, as a panel's tray provides them, for tests.

Owns org.kde.StatusNotifierWatcher on the session bus. For each item that registers it prints
"item SERVICE", asks the item's menu to prepare itself (AboutToShow) as a tray host does before
showing it, then prints "menu LABEL" for every entry of the menu's layout and "menu done".
"""
import sys

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
INTERFACE = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""
items = []


def say(line):
    print(line, flush=True)


def labels(layout):
    _, properties, children = layout
    found = [properties["label"]] if properties.get("label") else []
    for child in children:
        found += labels(child)
    return found


def read_menu(connection, service, path, attempts_left):
    def call(method, parameters, reply_type):
        return connection.call_sync(service, path, "com.canonical.dbusmenu", method, parameters,
                                    GLib.VariantType(reply_type), Gio.DBusCallFlags.NONE, 5000, None).unpack()
    try:
        if attempts_left == 20:
            call("AboutToShow", GLib.Variant("(i)", (0,)), "(b)")
        _, layout = call("GetLayout", GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
    except GLib.Error as error:
        say("menu error " + error.message)
        return False
    found = labels(layout)
    # The menu is filled once it was asked to show: look again shortly when it is still empty.
    if not found and attempts_left > 0:
        GLib.timeout_add(250, read_menu, connection, service, path, attempts_left - 1)
        return False
    for label in found:
        say("menu " + label)
    say("menu done")
    return False


def on_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        service = parameters.unpack()[0]
        # Items register either their bus name or an object path on the caller's connection.
        bus_name, item_path = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        items.append(bus_name + item_path)
        invocation.return_value(None)
        connection.emit_signal(None, "/StatusNotifierWatcher", WATCHER, "StatusNotifierItemRegistered",
                               GLib.Variant("(s)", (service,)))
        say("item " + service)
        # Read once this call has returned, so the item is never asked while it waits for it.
        GLib.idle_add(read_item, connection, bus_name, item_path)
    else:
        invocation.return_value(None)


def read_item(connection, bus_name, item_path):
    try:
        menu = connection.call_sync(bus_name, item_path, "org.freedesktop.DBus.Properties", "Get",
                                    GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")),
                                    GLib.VariantType("(v)"), Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
    except GLib.Error as error:
        say("item error " + error.message)
        return False
    read_menu(connection, bus_name, menu, 20)
    return False


def on_get(connection, sender, path, interface, name):
    return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
            "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0)}[name]


def main():
    connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    connection.register_object("/StatusNotifierWatcher", info, on_call, on_get, None)
    Gio.bus_own_name_on_connection(connection, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: say("watcher ready"), lambda *_: sys.exit("name taken"))
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
