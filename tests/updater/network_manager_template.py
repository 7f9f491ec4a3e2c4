"""NetworkManager as the update tests need it: the Connectivity and Metered properties, with
the values given as parameters, typed here (uint32) as NetworkManager types them."""

import dbus

BUS_NAME = "org.freedesktop.NetworkManager"
MAIN_OBJ = "/org/freedesktop/NetworkManager"
MAIN_IFACE = "org.freedesktop.NetworkManager"
SYSTEM_BUS = True


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {
        "Connectivity": dbus.UInt32(parameters.get("Connectivity", 4)),
        "Metered": dbus.UInt32(parameters.get("Metered", 2)),
        "State": dbus.UInt32(70),
    })
