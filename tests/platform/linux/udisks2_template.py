"""udisks2 for tests, a python3-dbusmock template: the object manager, with drives and block
devices that the test adds and that are announced as udisks2 announces them (InterfacesAdded).
A drive's Drive.Ata.PmGetState answers what SetPowerState last set (0xff at first)."""

import dbus
from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = "org.freedesktop.UDisks2"
MAIN_OBJ = "/org/freedesktop/UDisks2"
MAIN_IFACE = "org.freedesktop.UDisks2.Manager"
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True
UD = "org.freedesktop.UDisks2."


def load(mock, parameters):
    mock.AddProperty(MAIN_IFACE, "Version", "2.9.4")


def _add(mock, path, interfaces):
    (first, properties), *rest = interfaces.items()
    mock.AddObject(path, first, properties, [])
    for name, more in rest:
        mockobject.objects[path].AddProperties(name, more)
    mock.object_manager_emit_added(path)
    return mockobject.objects[path]


@dbus.service.method(MOCK_IFACE, in_signature="sa{sv}", out_signature="o")
def AddDrive(self, name, ata):
    path = f"{MAIN_OBJ}/drives/{name}"
    drive = _add(self, path, {UD + "Drive": {"RotationRate": dbus.Int32(7200)}, UD + "Drive.Ata": {
        "PmSupported": True, "PmEnabled": True, "SmartSupported": True, "SmartEnabled": True,
        "SmartUpdated": dbus.UInt64(1700000000), "SmartFailing": False, **ata}})
    drive.power_state = 0xff
    drive.AddMethod(UD + "Drive.Ata", "PmGetState", "a{sv}", "y", "ret = self.power_state")
    return path


@dbus.service.method(MOCK_IFACE, in_signature="stoo", out_signature="o")
def AddBlock(self, name, device_number, drive, crypto_backing_device):
    path = f"{MAIN_OBJ}/block_devices/{name}"
    _add(self, path, {UD + "Block": {"DeviceNumber": dbus.UInt64(device_number), "Drive": drive,
                                     "CryptoBackingDevice": crypto_backing_device}})
    return path


@dbus.service.method(MOCK_IFACE, in_signature="oy")
def SetPowerState(self, drive, value):
    mockobject.objects[drive].power_state = dbus.Byte(value)
