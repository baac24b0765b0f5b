'''Our stand-in for systemd's manager on a private bus (python3-dbusmock template).

Units are added by the test (AddUnit on the mock interface) and run a real program: a start job ends
"done" once the program runs, "failed" when it cannot be run; a stop job sends SIGTERM to its process group
and ends "done" when the program has exited; a unit whose program ends by itself is "failed" (or "inactive"
after exit status 0). start_mode "hang": the start job never ends. Unknown units: NoSuchUnit.
'''
import os
import signal
import subprocess

import dbus
import dbusmock
from gi.repository import GLib

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = True
UNIT = 'org.freedesktop.systemd1.Unit'
SERVICE = 'org.freedesktop.systemd1.Service'


def load(mock, _parameters):
    mock.units, mock.jobs = {}, 0


def _unit(self, name, load=False):
    if name not in self.units:
        if not load:
            raise dbus.exceptions.DBusException(f'Unit {name} not found.',
                                                name='org.freedesktop.systemd1.NoSuchUnit')
        _add(self, name, '', [], -1, -1, 'not-found')
    return self.units[name]


def _add(self, name, description, argv, uid, gid, mode):
    path = MAIN_OBJ + '/unit/' + name.replace('.', '_2e').replace('-', '_2d').replace('@', '_40')
    self.AddObject(path, UNIT, {'Id': name, 'Description': description, 'SubState': 'dead',
                                'LoadState': 'not-found' if mode == 'not-found' else 'loaded',
                                'ActiveState': 'inactive'}, [])
    dbusmock.get_object(path).AddProperties(SERVICE, {'MainPID': dbus.UInt32(0)})
    self.units[name] = {'name': name, 'path': path, 'argv': list(argv), 'uid': uid, 'gid': gid,
                        'mode': mode, 'proc': None, 'job': None}


def _set(self, u, active, sub, pid=None):
    obj = dbusmock.get_object(u['path'])
    obj.props[UNIT].update({'ActiveState': active, 'SubState': sub})
    if pid is not None:
        obj.props[SERVICE]['MainPID'] = dbus.UInt32(pid)


def _new_job(self, u, kind):
    if u['job'] is not None:  # "replace": the job of the other kind is canceled, one of the same kind kept
        if u['job'][2] == kind:
            return u['job'][1]
        _end_job(self, u, 'canceled')
    self.jobs += 1
    u['job'] = (self.jobs, f'{MAIN_OBJ}/job/{self.jobs}', kind)
    return u['job'][1]


def _end_job(self, u, result):
    job_id, path, _ = u['job']
    u['job'] = None
    self.EmitSignal(MAIN_IFACE, 'JobRemoved', 'uoss', [job_id, path, u['name'], result])


def _run(self, u):
    if u['mode'] == 'hang':
        return False
    try:
        creds = {} if u['uid'] < 0 else {'user': u['uid'], 'group': u['gid'], 'extra_groups': []}
        u['proc'] = subprocess.Popen(u['argv'], start_new_session=True, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **creds)
    except (OSError, subprocess.SubprocessError):
        _set(self, u, 'failed', 'failed')
        _end_job(self, u, 'failed')
        return False
    u['watch'] = GLib.child_watch_add(GLib.PRIORITY_DEFAULT, u['proc'].pid,
                                      lambda _pid, status: _exited(self, u, status))
    _set(self, u, 'active', 'running', u['proc'].pid)
    _end_job(self, u, 'done')
    return False


def _exited(self, u, status):
    u['proc'] = None
    stopping = u['job'] is not None and u['job'][2] == 'stop'
    clean = stopping or (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0)
    _set(self, u, 'inactive' if clean else 'failed', 'dead' if clean else 'failed', 0)
    if u['job'] is not None:
        _end_job(self, u, 'done' if stopping else 'failed')


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Subscribe(self):
    pass


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Unsubscribe(self):
    pass


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def LoadUnit(self, name):
    return dbus.ObjectPath(_unit(self, name, load=True)['path'])


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def GetUnit(self, name):
    return dbus.ObjectPath(_unit(self, name)['path'])


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StartUnit(self, name, _mode):
    u = _unit(self, name)
    if u['mode'] == 'not-found':
        raise dbus.exceptions.DBusException(f'Unit {name} not found.',
                                            name='org.freedesktop.systemd1.NoSuchUnit')
    job = _new_job(self, u, 'start')
    if u['proc'] is not None:  # running already: the job has nothing to do
        GLib.idle_add(lambda: u['job'] is not None and _end_job(self, u, 'done'))
    else:
        _set(self, u, 'activating', 'start')
        GLib.idle_add(_run, self, u)
    return dbus.ObjectPath(job)


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StopUnit(self, name, _mode):
    u = _unit(self, name)
    job = _new_job(self, u, 'stop')
    if u['proc'] is None:
        _set(self, u, 'inactive', 'dead', 0)
        GLib.idle_add(lambda: u['job'] is not None and _end_job(self, u, 'done'))
    else:
        _set(self, u, 'deactivating', 'stop-sigterm')
        try:
            os.killpg(u['proc'].pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    return dbus.ObjectPath(job)


@dbus.service.method(dbusmock.MOCK_IFACE, in_signature='ssasiis', out_signature='')
def AddUnit(self, name, description, argv, uid, gid, start_mode):
    _add(self, name, description, argv, uid, gid, start_mode or 'simple')


@dbus.service.method(dbusmock.MOCK_IFACE, in_signature='ss', out_signature='')
def SetActiveState(self, name, state):
    _set(self, _unit(self, name), state, state)


@dbus.service.method(dbusmock.MOCK_IFACE, in_signature='', out_signature='')
def KillAll(self):
    for u in self.units.values():
        if u['proc'] is not None:
            GLib.source_remove(u['watch'])
            try:
                os.killpg(u['proc'].pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            u['proc'].wait()
            _exited(self, u, signal.SIGKILL)
