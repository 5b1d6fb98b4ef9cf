#!/usr/bin/env bash
# Installs what the PC/SC end-to-end tests need, from Debian's packages, when
# it is missing: pcscd, pcsc_scan and pyscard for Debian's /usr/bin/python3.
# Fails (exit 1) when something is missing and apt-get cannot install it.
set -euo pipefail
need=()
command -v pcscd >/dev/null 2>&1 || [ -x /usr/sbin/pcscd ] || need+=(pcscd)
command -v pcsc_scan >/dev/null 2>&1 || need+=(pcsc-tools)
{ [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import smartcard' >/dev/null 2>&1; } || need+=(python3-pyscard)
[ ${#need[@]} -eq 0 ] && exit 0
echo "tests/pcsc: installing ${need[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! command -v apt-get >/dev/null 2>&1; then
  echo "tests/pcsc: FAIL: ${need[*]} missing and no apt-get to install them" >&2
  exit 1
fi
# pcscd's package scripts may try to start the service: a policy that
# forbids it keeps a stray daemon from taking the one pcscd socket.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e $policy ] && [ "$(id -u)" -eq 0 ]; then
  printf '#!/bin/sh\nexit 101\n' >$policy && chmod +x $policy && made_policy=1
fi
status=0
{ $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"; } ||
  status=$?
[ $made_policy -eq 1 ] && rm -f $policy
if [ $status -ne 0 ]; then
  echo "tests/pcsc: FAIL: apt-get could not install ${need[*]}" >&2
  exit 1
fi
