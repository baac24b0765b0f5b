'''Our systemd stand-in (python3-dbusmock template). Units (AddUnit) run a real program: a start job ends
"done" once it runs, "failed" when it cannot; a stop job sends SIGTERM to its process group and ends "done"
when it has exited; a program that ends by itself leaves the unit "failed" ("inactive" after status 0).
start_mode "hang": the start job never ends. Unknown units: NoSuchUnit.'''
import os
import signal
import subprocess

import dbus
import dbusmock
from gi.repository import GLib

BUS_NAME, MAIN_OBJ, MAIN_IFACE = 'org.freedesktop.systemd1', '/org/freedesktop/systemd1', 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = True
UNIT, SERVICE = 'org.freedesktop.systemd1.Unit', 'org.freedesktop.systemd1.Service'


def load(mock, _parameters):
    mock.units, mock.jobs = {}, 0


def _unit(self, name, found=True):
    if name not in self.units:
        self.AddUnit(name, '', [], -1, -1, 'not-found')
    if found and self.units[name]['mode'] == 'not-found':
        raise dbus.exceptions.DBusException(f'Unit {name} not found.', name='org.freedesktop.systemd1.NoSuchUnit')
    return self.units[name]


def _set(u, active, pid=None):
    obj = dbusmock.get_object(u['path'])
    obj.props[UNIT].update({'ActiveState': active, 'SubState': active})
    if pid is not None:
        obj.props[SERVICE]['MainPID'] = dbus.UInt32(pid)


def _job(self, u, kind):  # "replace": a job of the other kind is canceled, one of the same kind kept
    if u['job'] is not None and u['job'][2] != kind:
        _end(self, u, 'canceled')
    if u['job'] is None:
        self.jobs += 1
        u['job'] = (self.jobs, f'{MAIN_OBJ}/job/{self.jobs}', kind)
    return dbus.ObjectPath(u['job'][1])


def _end(self, u, result):
    if u['job'] is not None:
        job_id, path, _ = u['job']
        u['job'] = None
        self.EmitSignal(MAIN_IFACE, 'JobRemoved', 'uoss', [job_id, path, u['name'], result])


def _run(self, u):
    try:
        creds = {} if u['uid'] < 0 else {'user': u['uid'], 'group': u['gid'], 'extra_groups': []}
        u['proc'] = subprocess.Popen(u['argv'], start_new_session=True, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **creds)
    except (OSError, subprocess.SubprocessError):
        _set(u, 'failed')
        return _end(self, u, 'failed')
    u['watch'] = GLib.child_watch_add(GLib.PRIORITY_DEFAULT, u['proc'].pid, lambda _p, st: _exited(self, u, st))
    _set(u, 'active', u['proc'].pid)
    _end(self, u, 'done')


def _exited(self, u, status):
    u['proc'] = None
    stopping = u['job'] is not None and u['job'][2] == 'stop'
    _set(u, 'inactive' if stopping or os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 else 'failed', 0)
    _end(self, u, 'done' if stopping else 'failed')


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Subscribe(self):
    pass


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Unsubscribe(self):
    pass


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def LoadUnit(self, name):
    return dbus.ObjectPath(_unit(self, name, found=False)['path'])


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def GetUnit(self, name):
    return dbus.ObjectPath(_unit(self, name)['path'])


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StartUnit(self, name, _mode):
    u = _unit(self, name)
    job = _job(self, u, 'start')
    if u['proc'] is not None:  # running already: nothing to do
        GLib.idle_add(_end, self, u, 'done')
    elif u['mode'] != 'hang':
        _set(u, 'activating')
        GLib.idle_add(_run, self, u)
    else:
        _set(u, 'activating')
    return job


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StopUnit(self, name, _mode):
    u = _unit(self, name)
    job = _job(self, u, 'stop')
    if u['proc'] is None:
        _set(u, 'inactive', 0)
        GLib.idle_add(_end, self, u, 'done')
    else:
        _set(u, 'deactivating')
        os.killpg(u['proc'].pid, signal.SIGTERM)
    return job


@dbus.service.method(dbusmock.MOCK_IFACE, in_signature='ssasiis', out_signature='')
def AddUnit(self, name, description, argv, uid, gid, start_mode):
    path = MAIN_OBJ + '/unit/' + ''.join(c if c.isalnum() else f'_{ord(c):02x}' for c in name)
    self.AddObject(path, UNIT, {'Id': name, 'Description': description, 'ActiveState': 'inactive', 'SubState': 'dead',
                                'LoadState': 'not-found' if start_mode == 'not-found' else 'loaded'}, [])
    dbusmock.get_object(path).AddProperties(SERVICE, {'MainPID': dbus.UInt32(0)})
    self.units[name] = {'name': name, 'path': path, 'argv': list(argv), 'uid': uid, 'gid': gid,
                        'mode': start_mode, 'proc': None, 'job': None}


@dbus.service.method(dbusmock.MOCK_IFACE, in_signature='ss', out_signature='')
def SetActiveState(self, name, state):
    _set(_unit(self, name), state)


@dbus.service.method(dbusmock.MOCK_IFACE, in_signature='', out_signature='')
def KillAll(self):
    for u in self.units.values():
        if u['proc'] is not None:
            GLib.source_remove(u['watch'])
            os.killpg(u['proc'].pid, signal.SIGKILL)
            u['proc'].wait()
            _exited(self, u, signal.SIGKILL)
