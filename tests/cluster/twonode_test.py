"""Failover through Kestrel on a real two-node Pacemaker cluster (see twonode.py for the nodes).

Usage: python3 twonode_test.py BUILD_DIR [unittest options]. Needs root, pacemaker, corosync, crmsh and the
adapter built in BUILD_DIR (bin/kestrel-ocf, bin/sapsim, bin/cairnagent, lib/libKestrel.so). Each scenario
brings up its own pair of nodes and ends by checking that no process of a stopped or moved instance is left
on the node it left. Failover times are printed and written to BUILD_DIR/twonode-times.json.
"""
import json
import os
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import twonode  # noqa: E402
from landscape import Landscape, base_cluster  # noqa: E402

TIMES = {}
# Agent-log entries: (message id, resource, operation).
def ONLINE_STARTED(r): return (20006, r, "CKestrel::Online")  # noqa: E704  service started
def ONLINE_STARTCMD(r): return (20011, r, "CKestrel::Online")  # noqa: E704  start command succeeded
def ONLINE_ENSMON(r): return (20038, r, "CKestrel::Online")  # noqa: E704  ensmon succeeded
def OFFLINE_STOPPED(r): return (20051, r, "CKestrel::Offline")  # noqa: E704  instance stopped
def OFFLINE_SERVICE(r): return (20053, r, "CKestrel::Offline")  # noqa: E704  service stopped
def ABAP_ONLINE(r): return [ONLINE_STARTED(r), ONLINE_STARTCMD(r), (20016, r, "CKestrel::Online")]  # noqa: E704
def ABAP_OFFLINE(r): return [OFFLINE_STOPPED(r), OFFLINE_SERVICE(r)]  # noqa: E704


ABAP_IMAGES = sorted(["disp+work.exe", "msg_server.exe", "igswd.exe", "gwrd.exe", "icman.exe"])

class TwoNodeFailover(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.cluster = twonode.TwoNodeCluster(log=lambda m: print(f"  [{self.id().split('.')[-1]}] {m}"))
        self.cluster.__enter__()
        self.addCleanup(self.cluster.down)
        self.land = Landscape(self.cluster, BUILD)

    def start_cluster(self, fencing=True):
        self.cluster.start()
        base_cluster(self.cluster, fencing)

    def place_on(self, resource, node, score=50):
        self.cluster.run(self.cluster.any_up(), "crm", "configure", "location", f"{resource}-prefers-{node}",
                         resource, f"{score}:", node)

    def assert_nothing_left(self, node, resource):
        self.assertEqual(self.land.processes(node, resource), [], f"{resource} left on node {node}")

    def record(self, key, seconds):
        TIMES[key] = round(seconds, 2)
        print(f"  {key}: {seconds:.2f} s")

    def test_abap_standby_then_node_crash(self):
        c, land = self.cluster, self.land
        land.install("abap", "HAB", "DVEBMGS00", "central")
        self.start_cluster()
        land.configure("abap")
        self.place_on("abap", "kaccnode1")
        land.start("abap")
        c.wait_resource_on("abap", "kaccnode1", timeout=90)
        self.assertEqual(land.images(1, "abap"), ABAP_IMAGES)  # on node 1 only
        self.assertEqual(land.processes(2, "abap"), [])

        t = time.monotonic()
        c.run(1, "crm", "node", "standby", "kaccnode1")
        c.wait_resource_on("abap", "kaccnode2", timeout=90)
        self.record("standby_failover_s", time.monotonic() - t)
        self.assert_nothing_left(1, "abap")
        self.assertEqual(land.messages(1), ABAP_ONLINE("abap") + ABAP_OFFLINE("abap"))
        self.assertEqual(land.messages(2), ABAP_ONLINE("abap"))
        self.assertEqual(land.images(2, "abap"), ABAP_IMAGES)

        # Back to node 1 (stickiness keeps it on node 2 until node 2 goes), then node 1 dies.
        c.run(1, "crm", "node", "online", "kaccnode1")
        c.wait_online(["kaccnode1", "kaccnode2"])
        c.run(1, "crm", "resource", "move", "abap", "kaccnode1")
        c.wait_resource_on("abap", "kaccnode1", timeout=90)
        c.run(1, "crm", "resource", "clear", "abap")
        self.assert_nothing_left(2, "abap")
        t = time.monotonic()
        c.crash(1)
        c.wait_resource_on("abap", "kaccnode2", node=2, timeout=90)
        self.record("node_crash_failover_s", time.monotonic() - t)
        self.assertEqual([f[1] for f in c.fenced], ["kaccnode1"])
        self.assertEqual(land.images(2, "abap"), ABAP_IMAGES)

    def test_ascs_follows_ers_after_a_node_crash(self):
        c, land = self.cluster, self.land
        land.install("ascs", "HEN", "ASCS10", "enqueue")
        land.install("ers", "HEN", "ERS11", "enqrep", enqsrv_res="ascs")
        self.start_cluster()
        land.configure("ascs")
        land.configure("ers")
        self.place_on("ascs", "kaccnode1")
        n = c.any_up()
        # The replication server keeps away from the enqueue server; once the enqueue server has started
        # where the replication server ran (after a failure), the replication server leaves that node.
        c.run(n, "crm", "configure", "colocation", "ers-away-from-ascs", "-5000:", "ers", "ascs")
        c.run(n, "crm", "configure", "order", "ascs-then-stop-ers", "Optional:", "ascs:start", "ers:stop",
              "symmetrical=false")
        land.start("ascs", "ers")
        c.wait_resource_on("ascs", "kaccnode1", timeout=90)
        c.wait_resource_on("ers", "kaccnode2", timeout=90)

        t = time.monotonic()
        c.crash(1)
        c.wait_resource_on("ascs", "kaccnode2", node=2, timeout=90)
        self.record("ascs_node_crash_failover_s", time.monotonic() - t)
        self.assertGreater(len(land.processes(2, "ascs")), 0)

        c.restart(1)
        c.wait_online(["kaccnode1", "kaccnode2"], node=2, timeout=90)
        c.wait_resource_on("ers", "kaccnode1", node=2, timeout=90)
        c.wait_resource_on("ascs", "kaccnode2", node=2, timeout=30)
        self.assert_nothing_left(2, "ers")
        self.assertGreater(len(land.processes(1, "ers")), 0)
        # Kestrel's own messages for each step, on the node that took it (node 1's log began with its restart).
        self.assertEqual(land.messages(2), [ONLINE_STARTED("ers"), ONLINE_STARTCMD("ers"), ONLINE_ENSMON("ers"),
                                            ONLINE_STARTED("ascs"), ONLINE_STARTCMD("ascs"), ONLINE_ENSMON("ascs"),
                                            OFFLINE_STOPPED("ers"), OFFLINE_SERVICE("ers")])
        self.assertEqual(land.messages(1), [ONLINE_STARTED("ers"), ONLINE_STARTCMD("ers"), ONLINE_ENSMON("ers")])


    def test_monitor_failure_moves_the_instance(self):
        c, land = self.cluster, self.land
        land.install("abap", "HMO", "DVEBMGS02", "central")
        self.start_cluster()
        land.configure("abap", meta="migration-threshold=1", monitor="2s")
        self.place_on("abap", "kaccnode1")
        land.start("abap")
        c.wait_resource_on("abap", "kaccnode1", timeout=90)

        dispatcher = [pid for pid, image in land.processes(1, "abap") if image.endswith("/disp+work.exe")]
        self.assertEqual(len(dispatcher), 1)
        t = time.monotonic()
        os.kill(dispatcher[0], 9)
        c.wait_resource_on("abap", "kaccnode2", timeout=90)
        self.record("monitor_failure_failover_s", time.monotonic() - t)
        self.assert_nothing_left(1, "abap")
        self.assertEqual(land.fail_count("abap", "kaccnode1"), 1)
        # The monitor's failure as Pacemaker was answered, then the stop on node 1. A kill that lands while a
        # monitor runs is seen by sapinfo (the second level) instead of the process check.
        answered = [(90010, "abap", "kestrel-ocf")]
        by_sapinfo = [(20099, "abap", "CKestrel::_InterpretSapinfoExitCode")] + answered
        self.assertIn(land.messages(1), [ABAP_ONLINE("abap") + seen + ABAP_OFFLINE("abap")
                                         for seen in (answered, by_sapinfo)])
        self.assertIn("monitor: OCF exit code 1 (processes of the instance are still running)", land.agent_log(1))
        self.assertEqual(land.messages(2), ABAP_ONLINE("abap"))

        self.assertEqual(land.images(2, "abap"), ABAP_IMAGES)

    def test_failed_stop_gets_the_node_fenced(self):
        c, land = self.cluster, self.land
        land.install("abap", "HFE", "DVEBMGS03", "central")
        # On node 1 the gateway ignores SIGTERM and the agent's SIGKILL fails (as for a process it may not
        # signal): the stop cannot end it.
        gateway = land.instance_dir("abap") / "exe" / "gwrd.exe"
        (land.instance_dir("abap") / "sapsim.toml").write_text('[process."gwrd.exe"]\nignore_term = true\n')
        c.set_node_env(1, LD_PRELOAD=str(landscape_build() / "lib" / "libkestrel_e2e_faults.so"),
                       KESTREL_E2E_UNKILLABLE=str(gateway))
        self.start_cluster()
        land.configure("abap", stop_timeout="20s")
        self.place_on("abap", "kaccnode1")
        land.start("abap")
        c.wait_resource_on("abap", "kaccnode1", timeout=90)

        t = time.monotonic()
        c.run(1, "crm", "node", "standby", "kaccnode1")
        deadline = t + 120
        while c.resource_nodes("abap", 2) != ["kaccnode2"]:
            # Never on both: node 2 starts nothing of the instance while node 1 lives.
            if c.node(1).init_pid() is not None:
                self.assertEqual(land.images(2, "abap"), [], "started on node 2 before node 1 was fenced")
            self.assertLess(time.monotonic(), deadline, "not failed over")
            time.sleep(0.1)
        self.record("failed_stop_fence_failover_s", time.monotonic() - t)
        self.assertEqual([f[1] for f in c.fenced], ["kaccnode1"])
        self.assertIsNone(c.node(1).init_pid())  # fenced: node 1 and its processes are gone
        self.assertEqual(land.images(2, "abap"), ABAP_IMAGES)
        self.assertEqual(land.messages(2), ABAP_ONLINE("abap"))


def landscape_build():
    return BUILD


BUILD = Path(os.environ.get("KESTREL_BUILD_DIR", "build")).resolve()

if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BUILD = Path(sys.argv.pop(1)).resolve()
    if os.geteuid() != 0:
        print("twonode_test: needs root (namespaces, mounts, the cluster stack)")
        sys.exit(77)
    result = unittest.main(exit=False, verbosity=2).result
    if TIMES:
        (BUILD / "twonode-times.json").write_text(json.dumps(TIMES, indent=1) + "\n")
        print("failover times:", json.dumps(TIMES))
    sys.exit(0 if result.wasSuccessful() else 1)
