#!/bin/bash
# PID 1 of one cluster node: runs inside the node's own network, mount, UTS and PID namespaces, gives the
# node private copies of everything a cluster node keeps for itself, starts corosync and pacemakerd and
# reaps orphans until the node is killed.
# Usage: node-init.sh N WORKDIR
set -u
n=$1
work=$2
node=$work/node$n

hostname "kaccnode$n"
# The cluster stack's and Kestrel's node-local state: tmpfs, gone with the node's mount namespace.
for d in /dev/shm /run /var/lib/pacemaker /var/lib/corosync /var/log/pacemaker /var/log/corosync /etc/corosync; do
    mount -t tmpfs -o mode=755 tmpfs "$d" || exit 1
done
chmod 1777 /dev/shm
mkdir -p /var/lib/pacemaker/cib /var/lib/pacemaker/pengine /var/lib/pacemaker/blackbox \
    /var/lib/pacemaker/cores /run/crm /var/log/pacemaker/bundles /etc/corosync/uidgid.d
chown -R hacluster:haclient /var/lib/pacemaker /run/crm /var/log/pacemaker
chmod 750 /var/lib/pacemaker /var/lib/pacemaker/* /run/crm
chmod 770 /var/log/pacemaker /var/log/pacemaker/bundles
cp "$work/corosync.conf" /etc/corosync/corosync.conf
if [ -f "$work/cib.xml" ]; then
    install -o hacluster -g haclient -m 600 "$work/cib.xml" /var/lib/pacemaker/cib/cib.xml
fi
mount --bind "$work/hosts" /etc/hosts
# The node's account database: the machine's own plus the SAP accounts, seen only inside this node.
for f in passwd group shadow; do
    [ -f "$work/etc/$f" ] && mount --bind "$work/etc/$f" "/etc/$f"
done
if [ -d "$work/etc/pam.d" ]; then
    mount -t overlay overlay -o "lowerdir=$work/etc/pam.d:/etc/pam.d" /etc/pam.d || exit 1
fi
# Programs the node adds to the machine's: the fence agent and the Kestrel resource agent, as read-only
# overlays that only this node sees.
if [ -d "$work/sbin" ]; then
    mount -t overlay overlay -o "lowerdir=$work/sbin:/usr/sbin" /usr/sbin || exit 1
fi
if [ -d "$work/ocf" ]; then
    mount -t overlay overlay -o "lowerdir=$work/ocf:/usr/lib/ocf/resource.d" /usr/lib/ocf/resource.d || exit 1
fi
# Kestrel's node-local state, log and service registry; the SAP start services every node registers.
mkdir -p -m 700 /run/kestrel /run/kestrel/state
mkdir -p -m 755 /run/kestrel/log
[ -d "$work/services" ] && cp -a "$work/services" /run/kestrel/state/services
export CAIRN_SERVICE_ROOT=/run/kestrel/state/services
echo "$$ up" >"$node/init.ready"

# Extra environment for this node's cluster daemons (and so the resource agents), set by a scenario.
if [ -f "$node/env" ]; then
    set -a
    . "$node/env"
    set +a
fi

corosync -f >"$node/corosync.out" 2>&1 &
sleep 1
pacemakerd -f >"$node/pacemakerd.out" 2>&1 &
trap '' TERM
while :; do
    wait
    sleep 1
done
