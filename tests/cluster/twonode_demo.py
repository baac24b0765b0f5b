"""Kestrel on a two-node Pacemaker cluster, step by step, with the cluster's view after each step.

Usage (root): python3 twonode_demo.py BUILD_DIR. Brings up two cluster nodes in namespaces of this machine,
installs a simulated SAP ABAP instance on their shared file system, lets Pacemaker run it through Kestrel,
moves it by standby, recovers it from a killed dispatcher, fails it over from a crashed (fenced) node,
stops it, and removes everything. Exit status 0 when every step went as expected.
"""
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import twonode  # noqa: E402
from landscape import Landscape, base_cluster  # noqa: E402


def show(c, title, node=None):
    print(f"\n=== {title}")
    view = c.crm_mon_text(node)
    print("\n".join(line for line in view.splitlines() if not line.startswith("Status of pacemakerd")))


def kestrel_lines(land, node, count=6):
    lines = [line for line in land.agent_log(node).splitlines() if line.strip()]
    for line in lines[-count:]:
        print(f"    kaccnode{node} Kestrel.log: {line}")


def main(build):
    with twonode.TwoNodeCluster(log=lambda m: print(f"  {m}")) as c:
        land = Landscape(c, build)
        land.install("sapDEM", "DEM", "DVEBMGS00", "central")
        print("Starting two cluster nodes (kaccnode1, kaccnode2), each in its own namespaces ...")
        c.start()
        base_cluster(c)
        land.configure("sapDEM")
        c.run(1, "crm", "configure", "location", "sapDEM-prefers-1", "sapDEM", "50:", "kaccnode1")
        land.start("sapDEM")
        c.wait_resource_on("sapDEM", "kaccnode1", timeout=90)
        show(c, "1. The ABAP instance runs on kaccnode1 through Kestrel")
        kestrel_lines(land, 1)

        t = time.monotonic()
        c.run(1, "crm", "node", "standby", "kaccnode1")
        c.wait_resource_on("sapDEM", "kaccnode2", timeout=90)
        show(c, f"2. kaccnode1 in standby: the instance moved to kaccnode2 in {time.monotonic() - t:.1f} s")
        print(f"    processes of the instance left on kaccnode1: {len(land.processes(1, 'sapDEM'))}")
        c.run(1, "crm", "node", "online", "kaccnode1")

        disp = [pid for pid, image in land.processes(2, "sapDEM") if image.endswith("/disp+work.exe")]
        os.kill(disp[0], 9)
        deadline = time.monotonic() + 60
        while land.fail_count("sapDEM", "kaccnode2") < 1 and time.monotonic() < deadline:
            time.sleep(0.2)
        c.wait_resource_on("sapDEM", "kaccnode2", timeout=90)
        show(c, "3. Dispatcher killed behind the cluster's back: Kestrel's monitor noticed, Pacemaker "
                "recovered the instance")
        kestrel_lines(land, 2, 10)

        t = time.monotonic()
        c.crash(2)
        c.wait_resource_on("sapDEM", "kaccnode1", node=1, timeout=90)
        show(c, f"4. kaccnode2 crashed: fenced, the instance runs on kaccnode1 after {time.monotonic() - t:.1f} s",
             node=1)

        c.run(1, "crm", "resource", "stop", "sapDEM")
        deadline = time.monotonic() + 60
        while c.resource_nodes("sapDEM", 1) and time.monotonic() < deadline:
            time.sleep(0.2)
        show(c, "5. Stopped through the cluster", node=1)
        left = land.processes(1, "sapDEM")
        print(f"    processes of the instance left on kaccnode1: {len(left)}")
        print("\nRemoving the cluster ...")
        return 0 if not left and not c.resource_nodes("sapDEM", 1) else 1


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("twonode_demo: needs root (namespaces, mounts, the cluster stack)", file=sys.stderr)
        sys.exit(2)
    try:
        sys.exit(main(Path(sys.argv[1] if len(sys.argv) > 1 else "build").resolve()))
    except (twonode.HarnessError, KeyboardInterrupt) as e:
        print(f"twonode_demo: {e or 'interrupted'}", file=sys.stderr)
        sys.exit(1)
