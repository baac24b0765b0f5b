"""The simulated SAP system on a two-node cluster, with Kestrel's OCF adapter as the resource agent."""
import subprocess
from pathlib import Path

import twonode

ADMIN = "hacadm"
ADMIN_UID = 47201
PASSWORD = "Hac-Adm1n.pw"


def encoded_password(build):
    r = subprocess.run([str(build / "bin" / "cairnagent"), "encrypt-password"], input=PASSWORD + "\n",
                       text=True, capture_output=True, check=True)
    return r.stdout.split()[-1]


class Landscape:
    """A two-node cluster with the simulated SAP system installed and Kestrel as its resource agent."""

    def __init__(self, cluster, build):
        self.c = cluster
        self.build = build
        self.params = {}
        self.prefixes = {}
        twonode.write_accounts(cluster.work, [(f"{ADMIN}@{twonode.SAP_DOMAIN}", ADMIN_UID, PASSWORD)])
        agent_dir = cluster.work / "ocf" / "kestrel"
        agent_dir.mkdir(parents=True)
        (agent_dir / "Kestrel").symlink_to(build / "bin" / "kestrel-ocf")
        self.password = encoded_password(build)

    def install(self, resource, sid, instance, itype, arch=None, enqsrv_res=""):
        attrs = self.c.install_instance(self.build / "bin" / "sapsim", ADMIN, sid, instance, itype, arch=arch,
                                        enqsrv_res=enqsrv_res)
        attrs.pop("type", None)
        attrs.update(SAPAdmin=ADMIN, SAPServiceUser=ADMIN, SAPAdminDomain=twonode.SAP_DOMAIN,
                     SAPAdminPassword=self.password)
        params = {k: ",".join(v) if isinstance(v, list) else str(v) for k, v in attrs.items()}
        params = {k: v for k, v in params.items() if v != ""}
        params.update(state_dir="/run/kestrel/state", log_dir="/run/kestrel/log")
        self.params[resource] = params
        self.prefixes[resource] = f"{self.c.work}/sap/usr/sap/{sid}/{instance}/"
        return attrs

    def instance_dir(self, resource):
        return Path(self.prefixes[resource])

    def configure(self, resource, meta="", monitor="3s", stop_timeout="60s"):
        """Adds the resource stopped, so that its constraints are in place before start() places it."""
        args = ["crm", "configure", "primitive", resource, "ocf:kestrel:Kestrel", "params"]
        args += [f"{k}={v}" for k, v in self.params[resource].items()]
        args += ["op", "start", "timeout=60s", "op", "stop", f"timeout={stop_timeout}", "op", "monitor",
                 f"interval={monitor}", "timeout=30s", "meta", "target-role=Stopped", *meta.split()]
        self.c.run(self.c.any_up(), *args)

    def start(self, *resources):
        for resource in resources:
            self.c.run(self.c.any_up(), "crm", "resource", "start", resource)

    def processes(self, node, resource):
        """(pid, image) of every process of the instance on the node, its start service included."""
        return self.c.node_processes(node, self.prefixes[resource])

    def images(self, node, resource):
        """The instance's own programs running on the node (its start service left out)."""
        return sorted(Path(image).name for _, image in self.processes(node, resource)
                      if not image.endswith("/sapstartsrv.exe"))

    def agent_log(self, node):
        r = self.c.run(node, "cat", "/run/kestrel/log/Kestrel.log", check=False)
        return r.stdout

    def messages(self, node):
        """(message id, resource, operation) of each line of the agent log on the node, in order."""
        found = []
        for line in self.agent_log(node).splitlines():
            # 2026-12-06 06:09:52.777 INFO 55002-20006 ers CKestrel::Online: The SAP Service ...
            fields = line.split(" ", 6)
            if len(fields) == 7 and "-" in fields[3]:
                found.append((int(fields[3].split("-")[1]), fields[4], fields[5].rstrip(":")))
        return found

    def fail_count(self, resource, node):
        r = self.c.run(self.c.any_up(), "crm_failcount", "-G", "-r", resource, "-N", node, "-q", check=False)
        return int(r.stdout.strip() or 0) if r.stdout.strip().isdigit() else 0


def base_cluster(c, fencing=True):
    """Cluster options every scenario uses; a fence device that kills a node's namespaces."""
    n = c.any_up()
    c.run(n, "crm", "configure", "primitive", "fence-kacc", "stonith:fence_kacc", "params",
          "pcmk_host_list=kaccnode1 kaccnode2", "pcmk_host_check=static-list", "op", "monitor", "interval=60s")
    c.run(n, "crm", "configure", "rsc_defaults", "resource-stickiness=100")
    c.run(n, "crm_attribute", "-t", "crm_config", "-n", "stonith-enabled", "-v", "true" if fencing else "false")
