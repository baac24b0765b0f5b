"""Two real Pacemaker cluster nodes on one machine, each in its own network, mount, UTS and PID namespaces.

The nodes share the file system (as SAP landscapes share /sapmnt and /usr/sap/<SID>/SYS) except what each
node keeps for itself on tmpfs mounts of its own: /run (Kestrel's state and log directories and the embedded
service registry live under /run/kestrel), /dev/shm, the cluster stack's state and logs. The harness
refuses to start when any namespace or link it would create already exists (someone else's cluster), and
tears down everything it made on success, failure and interruption.
"""
import atexit
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
from pathlib import Path

HERE = Path(__file__).resolve().parent
BRIDGE = "kacc-br"
NETNS = ("kacc1", "kacc2")
NODES = ("kaccnode1", "kaccnode2")
ADDRS = ("10.77.0.1", "10.77.0.2")


class HarnessError(Exception):
    pass


# Clusters that are up: torn down at exit, also after SIGTERM or SIGINT.
_live = set()


def _down_all():
    for cluster in list(_live):
        cluster.down()


def _terminate(signum, _frame):
    raise SystemExit(128 + signum)


atexit.register(_down_all)


def sh(*args, check=True, capture=True, timeout=60, env=None):
    r = subprocess.run(list(args), stdout=subprocess.PIPE if capture else None,
                       stderr=subprocess.STDOUT if capture else None, text=True, timeout=timeout, env=env)
    if check and r.returncode != 0:
        raise HarnessError(f"{' '.join(args)} exited {r.returncode}: {(r.stdout or '').strip()}")
    return r


def existing_netns():
    r = sh("ip", "netns", "list", check=False)
    return {line.split()[0] for line in r.stdout.splitlines() if line.strip()}


def netns_inode(name):
    try:
        return os.stat(f"/run/netns/{name}").st_ino
    except OSError:
        return None


def cluster_processes_in(inodes):
    """PIDs of corosync/pacemakerd whose network namespace is one of inodes."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            comm = Path(f"/proc/{entry}/comm").read_text().strip()
            if comm not in ("corosync", "pacemakerd"):
                continue
            if os.stat(f"/proc/{entry}/ns/net").st_ino in inodes:
                found.append(int(entry))
        except OSError:
            continue
    return found


def refuse_if_taken():
    """Raises when a bridge, namespace or cluster of this harness's names exists: not ours to touch."""
    taken = sorted(existing_netns() & set(NETNS))
    if sh("ip", "link", "show", BRIDGE, check=False).returncode == 0:
        taken.append(f"link {BRIDGE}")
    if taken:
        inodes = {netns_inode(n) for n in NETNS if netns_inode(n)}
        pids = cluster_processes_in(inodes)
        raise HarnessError(
            "a two-node cluster this harness did not start is present (" + ", ".join(taken) +
            (f"; cluster daemons {pids}" if pids else "") + "); remove it with "
            f"'python3 {HERE / 'twonode.py'} down' if it is a leftover")


# The SAP administrator every node knows, as a directory-served account would be named: the same domain on
# every node, whatever the node's host name.
SAP_DOMAIN = "KACC"
SAP_GID = 47200


def write_accounts(work, accounts):
    """The nodes' account database: the machine's own files plus the SAP accounts (name, uid, password),
    and a PAM service for the agent's log-on. Only the nodes see them (bind mounts in their namespaces)."""
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt  # deprecated in 3.11, still the simplest SHA-512 crypt here

    etc = work / "etc"
    (etc / "pam.d").mkdir(parents=True, exist_ok=True)
    passwd = Path("/etc/passwd").read_text()
    group = Path("/etc/group").read_text() + f"kaccsap:x:{SAP_GID}:\n"
    shadow = Path("/etc/shadow").read_text()
    for name, uid, password in accounts:
        home = work / "home" / name
        home.mkdir(parents=True, exist_ok=True)
        os.chown(home, uid, SAP_GID)
        passwd += f"{name}:x:{uid}:{SAP_GID}::{home}:/bin/sh\n"
        shadow += f"{name}:{crypt.crypt(password, crypt.mksalt(crypt.METHOD_SHA512))}:19000:0:99999:7:::\n"
    (etc / "passwd").write_text(passwd)
    (etc / "group").write_text(group)
    (etc / "shadow").write_text(shadow)
    os.chmod(etc / "shadow", 0o640)
    (etc / "pam.d" / "kestrel").write_text("auth required pam_unix.so\naccount required pam_unix.so\n")


def in_node_accounts(work, *args, env=None):
    """Runs a command on the machine with the nodes' account database (a private mount namespace)."""
    script = "".join(f'mount --bind "{work}/etc/{f}" /etc/{f} && ' for f in ("passwd", "group", "shadow"))
    return sh("unshare", "-m", "--propagation", "private", "sh", "-c", script + 'exec "$@"', "sh", *args,
              env=env)


class Node:
    def __init__(self, index, work):
        self.index = index  # 1 or 2
        self.name = NODES[index - 1]
        self.netns = NETNS[index - 1]
        self.addr = ADDRS[index - 1]
        self.dir = work / f"node{index}"
        self.launcher = None  # the unshare process; the node's init is its only child

    def init_pid(self):
        if self.launcher is None or self.launcher.poll() is not None:
            return None
        try:
            children = Path(f"/proc/{self.launcher.pid}/task/{self.launcher.pid}/children").read_text().split()
        except OSError:
            return None
        return int(children[0]) if children else None


class TwoNodeCluster:
    """Builds the network, starts both nodes and tears them down. Use as a context manager."""

    def __init__(self, work=None, log=print, monitor_interval="2s"):
        self.own_work = work is None
        self.work = Path(work or tempfile.mkdtemp(prefix="kacc-"))
        os.chmod(self.work, 0o755)  # the SAP accounts run programs from the shared tree below it
        self.log = log
        self.nodes = [Node(1, self.work), Node(2, self.work)]
        self.made_links = False
        self.made_netns = []
        self.fence_dir = self.work / "fence"
        self.fenced = []  # (monotonic time, node name, action) of every fencing the harness carried out
        self._stop_watch = threading.Event()
        self._watcher = None

    # -- set-up -----------------------------------------------------------------------------------------
    def __enter__(self):
        """Checks the machine and writes the nodes' files; start() then brings the nodes up."""
        if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _terminate)
        _live.add(self)
        try:
            refuse_if_taken()
            self.write_files()
        except BaseException:
            self.down()
            raise
        return self

    def __exit__(self, *exc):
        self.down()
        return False

    def write_files(self, extra_cib_config=""):
        node_list = "\n".join(
            f"    node {{\n        name: {n.name}\n        nodeid: {n.index}\n        ring0_addr: {n.addr}\n    }}"
            for n in self.nodes)
        (self.work / "corosync.conf").write_text(f"""totem {{
    version: 2
    cluster_name: kacc
    transport: knet
    crypto_cipher: none
    crypto_hash: none
    token: 1000
}}
nodelist {{
{node_list}
}}
quorum {{
    provider: corosync_votequorum
    two_node: 1
}}
logging {{
    to_logfile: no
    to_stderr: yes
    to_syslog: no
}}
""")
        hosts = Path("/etc/hosts").read_text()
        hosts += "".join(f"{n.addr} {n.name}\n" for n in self.nodes)
        (self.work / "hosts").write_text(hosts)
        # Options the cluster needs from its first election on: a short election wait, fencing off until a
        # scenario configures a fence device.
        (self.work / "cib.xml").write_text(f"""<cib validate-with="pacemaker-3.9" epoch="1" num_updates="0" admin_epoch="0">
  <configuration>
    <crm_config>
      <cluster_property_set id="cib-bootstrap-options">
        <nvpair id="opt-dc-deadtime" name="dc-deadtime" value="2s"/>
        <nvpair id="opt-stonith-enabled" name="stonith-enabled" value="false"/>
        <nvpair id="opt-cluster-recheck" name="cluster-recheck-interval" value="30s"/>
      </cluster_property_set>
    </crm_config>
    <nodes/>
    <resources/>
    <constraints/>
  </configuration>
  <status/>
</cib>
""")
        for n in self.nodes:
            n.dir.mkdir(exist_ok=True)
        self.fence_dir.mkdir(exist_ok=True)
        (self.work / "sbin").mkdir(exist_ok=True)
        agent = self.work / "sbin" / "fence_kacc"
        agent.write_text((HERE / "fence_kacc").read_text().replace("@FENCE_DIR@", str(self.fence_dir)))
        agent.chmod(0o755)

    def install_instance(self, sapsim, admin, sid, instance, itype, arch=None, enqsrv_res="", host="kaccsap"):
        """Installs an instance of the simulated SAP system on the shared file system and registers its start
        service for every node (each node copies the registry when it starts). Returns the resource's
        attributes as sapsim prints them."""
        import tomllib

        args = [str(sapsim), "install", "--root", str(self.work / "sap"), "--sid", sid, "--instance", instance,
                "--type", itype, "--admin", f"{admin}@{SAP_DOMAIN}", "--host", host, "--domain", SAP_DOMAIN]
        if arch:
            args += ["--arch", arch]
        if enqsrv_res:
            args += ["--enqsrv-res", enqsrv_res]
        env = dict(os.environ, CAIRN_SERVICE_ROOT=str(self.work / "services"))
        out = in_node_accounts(self.work, *args, env=env).stdout
        block = tomllib.loads(out[out.index("["):])
        return next(iter(block["resources"].values()))

    def set_node_env(self, node, **env):
        """Environment for a node's cluster daemons and resource agents, from its next start on."""
        n = self.node(node)
        n.dir.mkdir(exist_ok=True)
        (n.dir / "env").write_text("".join(f"{k}={json.dumps(v)}\n" for k, v in env.items()))

    def _watch_fence_requests(self):
        """The fence device's switch: a request file from a node's fence agent kills the named node."""
        while not self._stop_watch.wait(0.05):
            for req in sorted(self.fence_dir.glob("*.req")):
                target, action = req.name.split(".")[0], req.read_text().strip()
                try:
                    self.crash(target)
                except Exception as e:
                    self.log(f"fence {target}: {e}")
                    continue
                self.fenced.append((time.monotonic(), target, action))
                self.log(f"fenced {target} ({action})")
                req.rename(req.with_suffix(".done"))

    def start(self):
        self._watcher = threading.Thread(target=self._watch_fence_requests, daemon=True)
        self._watcher.start()
        sh("ip", "link", "add", BRIDGE, "type", "bridge")
        self.made_links = True
        sh("ip", "link", "set", BRIDGE, "up")
        for n in self.nodes:
            sh("ip", "netns", "add", n.netns)
            self.made_netns.append(n.netns)
            host_end = f"{n.netns}h"
            sh("ip", "link", "add", host_end, "type", "veth", "peer", "name", "eth0", "netns", n.netns)
            sh("ip", "link", "set", host_end, "master", BRIDGE, "up")
            sh("ip", "-n", n.netns, "addr", "add", f"{n.addr}/24", "dev", "eth0")
            sh("ip", "-n", n.netns, "link", "set", "eth0", "up")
            sh("ip", "-n", n.netns, "link", "set", "lo", "up")
        started = time.monotonic()
        for n in self.nodes:
            self.start_node(n)
        self.wait_online([n.name for n in self.nodes], timeout=90)
        self.log(f"both nodes online after {time.monotonic() - started:.1f} s")

    def start_node(self, n):
        (n.dir / "init.ready").unlink(missing_ok=True)
        with open(n.dir / "init.out", "a") as out:
            n.launcher = subprocess.Popen(
                ["ip", "netns", "exec", n.netns, "unshare", "-m", "-u", "-p", "-f", "--mount-proc",
                 "--propagation", "private", "bash", str(HERE / "node-init.sh"), str(n.index), str(self.work)],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 20
        while not (n.dir / "init.ready").exists():
            if n.launcher.poll() is not None or time.monotonic() > deadline:
                raise HarnessError(f"node {n.name} did not start: {(n.dir / 'init.out').read_text()}")
            time.sleep(0.05)

    # -- use --------------------------------------------------------------------------------------------
    def node(self, name_or_index):
        for n in self.nodes:
            if name_or_index in (n.index, n.name):
                return n
        raise HarnessError(f"no node {name_or_index}")

    def run(self, node, *args, check=True, timeout=60, input=None):
        """Runs a command inside a node (all its namespaces); returns the CompletedProcess."""
        n = self.node(node)
        pid = n.init_pid()
        if pid is None:
            raise HarnessError(f"node {n.name} is down")
        r = subprocess.run(["nsenter", "-t", str(pid), "-a", *args], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, timeout=timeout, input=input)
        if check and r.returncode != 0:
            raise HarnessError(f"{n.name}: {' '.join(args)} exited {r.returncode}: {r.stdout}{r.stderr}")
        return r

    def any_up(self):
        for n in self.nodes:
            if n.init_pid() is not None:
                return n.index
        raise HarnessError("no node is up")

    def status(self, node=None):
        """crm_mon's view as XML, from the given node or any node that is up."""
        r = self.run(node or self.any_up(), "crm_mon", "-1", "--output-as=xml", check=False, timeout=20)
        try:
            return ET.fromstring(r.stdout)
        except ET.ParseError:
            return None

    def online_nodes(self, node=None):
        root = self.status(node)
        if root is None:
            return set()
        nodes = root.find("nodes")
        if nodes is None or root.find("summary/current_dc[@present='true']") is None:
            return set()
        return {e.get("name") for e in nodes if e.get("online") == "true" and e.get("standby") != "true"}

    def wait_online(self, names, timeout=60, node=None):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if set(names) <= self.online_nodes(node):
                return
            time.sleep(0.25)
        raise HarnessError(f"nodes {names} not online within {timeout} s")

    def resource_nodes(self, resource, node=None):
        """Names of the nodes where the cluster reports the resource active."""
        root = self.status(node)
        if root is None:
            return []
        found = []
        for r in root.iter("resource"):
            # Started, not failed: a start still in progress is shown active as well.
            if r.get("id") == resource and r.get("role") == "Started" and r.get("failed") == "false":
                found += [e.get("name") for e in r.findall("node")]
        return found

    def wait_resource_on(self, resource, name, timeout=60, node=None):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.resource_nodes(resource, node) == [name]:
                return
            time.sleep(0.1)
        raise HarnessError(f"{resource} not running on {name} within {timeout} s "
                           f"(now on {self.resource_nodes(resource, node)})")

    def crm_mon_text(self, node=None):
        return self.run(node or self.any_up(), "crm_mon", "-1", "-r", check=False, timeout=20).stdout

    def crash(self, node):
        """Kills the node's init: its whole PID namespace dies at once, as a power cut would."""
        n = self.node(node)
        pid = n.init_pid()
        if pid is not None:
            os.kill(pid, signal.SIGKILL)
        if n.launcher is not None:
            n.launcher.wait(timeout=30)

    def restart(self, node):
        self.start_node(self.node(node))

    # -- tear-down --------------------------------------------------------------------------------------
    def node_processes(self, node, prefix):
        """(pid, image) of the processes running inside a node whose image lies under prefix."""
        n = self.node(node)
        init = n.init_pid()
        if init is None:
            return []
        try:
            pid_ns = os.stat(f"/proc/{init}/ns/pid").st_ino
        except OSError:
            return []
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.stat(f"/proc/{entry}/ns/pid").st_ino != pid_ns:
                    continue
                image = os.readlink(f"/proc/{entry}/exe")
            except OSError:
                continue
            if image.startswith(str(prefix)):
                found.append((int(entry), image))
        return found

    def down(self):
        _live.discard(self)
        self._stop_watch.set()
        if self._watcher is not None:
            self._watcher.join()
            self._watcher = None
        for n in self.nodes:
            try:
                self.crash(n.index)
            except Exception as e:  # keep tearing down
                self.log(f"tear-down: {n.name}: {e}")
        for ns in self.made_netns:
            sh("ip", "netns", "del", ns, check=False)
        self.made_netns = []
        if self.made_links:
            sh("ip", "link", "del", BRIDGE, check=False)
            self.made_links = False
        if self.own_work:
            shutil.rmtree(self.work, ignore_errors=True)


def force_down():
    """Removes what a harness run left behind (after a kill -9 of the harness itself)."""
    inodes = {netns_inode(n) for n in NETNS if netns_inode(n)}
    for pid in cluster_processes_in(inodes):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    for ns in NETNS:
        sh("ip", "netns", "del", ns, check=False)
    sh("ip", "link", "del", BRIDGE, check=False)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "down":
        force_down()
        sys.exit(0)
    with TwoNodeCluster() as c:
        c.start()
        print(c.crm_mon_text())
