'''A stand-in for a desktop's portal backend (the org.freedesktop.impl.portal side), for tests that
run the real xdg-desktop-portal in front of it.

    python3 THIS_FILE BUS_NAME CALLS_LOG [refuse]

Shares a live solid-colour test picture as a PipeWire node first, then owns BUS_NAME, so a test that
sees the name can start the portal. Start answers a little later, as a dialog would, with one
stream of that node; with "refuse" the user cancels it. SIGUSR1 ends every session as the desktop's
"stop sharing" does. Each call is logged to CALLS_LOG, one line.
'''

import ctypes
import json
import signal
import subprocess
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = '/org/freedesktop/portal/desktop'
SCREEN_CAST = 'org.freedesktop.impl.portal.ScreenCast'
REMOTE_DESKTOP = 'org.freedesktop.impl.portal.RemoteDesktop'
REQUEST = 'org.freedesktop.impl.portal.Request'
SESSION = 'org.freedesktop.impl.portal.Session'
PROPERTIES = 'org.freedesktop.DBus.Properties'
NODE_NAME = 'velmora-portal-picture'
WIDTH, HEIGHT = 320, 240
COLOUR = '0xff00ff00'  # opaque green
CANCELLED = 1

bus_name, calls_path = sys.argv[1], sys.argv[2]
refuse = 'refuse' in sys.argv[3:]


def log(*parts):
    with open(calls_path, 'a', encoding='utf-8') as calls:
        calls.write(' '.join(str(part) for part in parts) + '\n')


def plain(options):
    return ' '.join(f'{key}={int(value) if isinstance(value, (int, bool)) else str(value)}'
                    for key, value in sorted(options.items()))


def share_picture():
    '''The PipeWire node id of the test picture, once PipeWire lists it.'''
    libc = ctypes.CDLL(None)
    subprocess.Popen(['gst-launch-1.0', '-q', 'videotestsrc', 'pattern=solid-color', f'foreground-color={COLOUR}',
                      'is-live=true', '!', f'video/x-raw,format=BGRx,width={WIDTH},height={HEIGHT},framerate=30/1',
                      '!', 'pipewiresink', 'mode=provide', f'client-name={NODE_NAME}'],
                     stdout=subprocess.DEVNULL, preexec_fn=lambda: libc.prctl(1, signal.SIGKILL))  # dies with us
    for _ in range(200):
        listing = subprocess.run(['pw-dump'], capture_output=True, text=True, check=False).stdout
        for item in json.loads(listing or '[]'):
            if item.get('type') == 'PipeWire:Interface:Node' and \
                    (item.get('info') or {}).get('props', {}).get('node.name') == NODE_NAME:
                return item['id']
        time.sleep(0.1)
    sys.exit('the test picture never became a PipeWire node')


class Request(dbus.service.Object):
    '''Exported at the frontend's request handle for as long as the call runs.'''

    @dbus.service.method(REQUEST, in_signature='', out_signature='')
    def Close(self):
        log('Request.Close')
        self.remove_from_connection()


class Session(dbus.service.Object):
    @dbus.service.method(SESSION, in_signature='', out_signature='')
    def Close(self):
        log('Session.Close')
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature='')
    def Closed(self):
        log('Session.Closed')


sessions = []


def close_sessions():
    for session in sessions:
        session.Closed()
    return True


def answered(handle):
    Request(bus, handle).remove_from_connection()
    return dbus.UInt32(0), dbus.Dictionary({}, signature='sv')


class Backend(dbus.service.Object):
    @dbus.service.method(REMOTE_DESKTOP, in_signature='oosa{sv}', out_signature='ua{sv}')
    def CreateSession(self, handle, session, _app, options):
        log('CreateSession', plain(options))
        sessions.append(Session(bus, session))
        return answered(handle)

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oosa{sv}', out_signature='ua{sv}')
    def SelectDevices(self, handle, _session, _app, options):
        log('SelectDevices', plain(options))
        return answered(handle)

    @dbus.service.method(SCREEN_CAST, in_signature='oosa{sv}', out_signature='ua{sv}')
    def SelectSources(self, handle, _session, _app, options):
        log('SelectSources', plain(options))
        return answered(handle)

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oossa{sv}', out_signature='ua{sv}', async_callbacks=('reply', 'error'))
    def Start(self, handle, _session, _app, _parent, options, reply, error):
        log('Start', plain(options))
        request = Request(bus, handle)

        def answer():
            request.remove_from_connection()
            streams = dbus.Array([(dbus.UInt32(node), {'id': 'picture', 'position': (0, 0), 'size': (WIDTH, HEIGHT),
                                                       'source_type': dbus.UInt32(1)})], signature='(ua{sv})')
            results = {} if refuse else {'devices': dbus.UInt32(3), 'streams': streams}
            reply(dbus.UInt32(CANCELLED if refuse else 0), dbus.Dictionary(results, signature='sv'))
            return False

        GLib.timeout_add(100, answer)

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        if interface == SCREEN_CAST:
            return {'AvailableSourceTypes': dbus.UInt32(1), 'AvailableCursorModes': dbus.UInt32(3),
                    'version': dbus.UInt32(4)}
        return {'AvailableDeviceTypes': dbus.UInt32(3), 'version': dbus.UInt32(1)}


def notify(name, signature):
    # dbus-python wants exactly one parameter per argument.
    def two(_self, _session, _options, first, second):
        log(name, first, second)

    def three(_self, _session, _options, first, second, third):
        log(name, first, second, third)
    method = two if len(signature) == 2 else three
    method.__name__ = name
    setattr(Backend, name, dbus.service.method(REMOTE_DESKTOP, in_signature='oa{sv}' + signature, out_signature='')(method))


for member, arguments in [('NotifyPointerMotion', 'dd'), ('NotifyPointerMotionAbsolute', 'udd'),
                          ('NotifyPointerButton', 'iu'), ('NotifyPointerAxis', 'dd'), ('NotifyPointerAxisDiscrete', 'ui'),
                          ('NotifyKeyboardKeycode', 'iu'), ('NotifyKeyboardKeysym', 'iu')]:
    notify(member, arguments)

DBusGMainLoop(set_as_default=True)
node = share_picture()
bus = dbus.SessionBus()
backend = Backend(bus, PATH)
name = dbus.service.BusName(bus_name, bus)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, close_sessions)
GLib.MainLoop().run()
