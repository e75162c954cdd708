'''A stand-in for the desktop portal's remote-desktop and screen-cast interfaces at RemoteDesktop
version 2 (restorable sessions), which Debian's real portal does not offer, for the host's tests.

A python3-dbusmock template (python3 -m dbusmock --template THIS_FILE). Each request answers with
a Response signal shortly after the call returns, as a portal does once its dialog is closed.
Parameter: "token" (the restore token Start hands out).
'''

import dbus
from dbusmock import mockobject
from gi.repository import GLib

SYSTEM_BUS = False
BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.RemoteDesktop'
SCREEN_CAST = 'org.freedesktop.portal.ScreenCast'
REQUEST = 'org.freedesktop.portal.Request'


def respond(mock, options, response, results):
    path = MAIN_OBJ + '/request/stand_in/' + str(options['handle_token'])
    mock.AddObject(path, REQUEST, {}, [('Close', '', '', '')])

    def emit():
        mockobject.objects[path].EmitSignal(REQUEST, 'Response', 'ua{sv}', [dbus.UInt32(response), results])
        return False

    GLib.timeout_add(20, emit)
    return dbus.ObjectPath(path)


def load(mock, parameters):
    token = parameters.get('token', '')
    streams = dbus.Array([
        (dbus.UInt32(41), {'id': 'left', 'position': (0, 0), 'size': (1280, 720)}),
        (dbus.UInt32(42), {'id': 'right', 'position': (1280, 0), 'size': (800, 600)}),
    ], signature='(ua{sv})')

    def create_session(self, options):
        session = MAIN_OBJ + '/session/stand_in/' + str(options['session_handle_token'])
        self.AddObject(session, 'org.freedesktop.portal.Session', {}, [('Close', '', '', '')])
        return respond(self, options, 0, {'session_handle': session})

    def start(self, _session, _parent, options):
        results = {'devices': dbus.UInt32(3), 'streams': streams}
        if token:
            results['restore_token'] = token
        return respond(self, options, 0, results)

    def open_remote(self, _session, _options):
        return dbus.types.UnixFd(open('/dev/null', 'rb'))

    notify = [(name, 'oa{sv}' + signature, '', '') for name, signature in [
        ('NotifyPointerMotionAbsolute', 'udd'), ('NotifyPointerButton', 'iu'), ('NotifyPointerAxis', 'dd'),
        ('NotifyPointerAxisDiscrete', 'ui'), ('NotifyKeyboardKeycode', 'iu'), ('NotifyKeyboardKeysym', 'iu')]]
    mock.AddMethods(MAIN_IFACE, [
        ('CreateSession', 'a{sv}', 'o', create_session),
        ('SelectDevices', 'oa{sv}', 'o', lambda self, _session, options: respond(self, options, 0, {})),
        ('Start', 'osa{sv}', 'o', start),
    ] + notify)
    mock.AddProperties(MAIN_IFACE, {'version': dbus.UInt32(2), 'AvailableDeviceTypes': dbus.UInt32(3)})
    mock.AddMethods(SCREEN_CAST, [
        ('SelectSources', 'oa{sv}', 'o', lambda self, _session, options: respond(self, options, 0, {})),
        ('OpenPipeWireRemote', 'oa{sv}', 'h', open_remote),
    ])
    mock.AddProperties(SCREEN_CAST, {'version': dbus.UInt32(4), 'AvailableSourceTypes': dbus.UInt32(3),
                                     'AvailableCursorModes': dbus.UInt32(7)})
