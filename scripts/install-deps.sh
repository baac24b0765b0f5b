#!/usr/bin/env bash
# Installs what building, testing and running Kestrel needs on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
pkgs=(build-essential cmake g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libtomlplusplus-dev libpam0g-dev libnss-wrapper libpam-wrapper nlohmann-json3-dev
      pacemaker corosync crmsh resource-agents pacemaker-cli-utils libxml2-utils iproute2 python3
      libsystemd-dev dbus python3-dbusmock)
# The Pacemaker packages (and iproute2 for the two-node cluster) are for the OCF adapter's and the cluster
# tests, dbus and python3-dbusmock for the systemd backend's; their scripts may not start services here.
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
