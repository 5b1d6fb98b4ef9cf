#!/usr/bin/env bash
# End-to-end test through pcscd: vx7-readersim on a pseudo-terminal, a
# reader.conf.d entry of our own for the IFD handler, pcscd started on it,
# then pcsc_scan and a pyscard client (Debian's /usr/bin/python3).
#
# Usage: run.sh READERSIM HANDLER
# Insertion and removal are not exercised: a pseudo-terminal has no modem
# lines, so the simulator cannot signal a card change over it.
set -euo pipefail
readersim=$1
handler=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
name="VX710RD test"

"$here/deps.sh"
pcscd=$(command -v pcscd || echo /usr/sbin/pcscd)

tmp=$(mktemp -d)
sim_pid="" pcscd_pid=""
cleanup() {
  status=$?
  [ -n "$pcscd_pid" ] && kill -TERM "$pcscd_pid" 2>/dev/null && wait "$pcscd_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  if [ $status -ne 0 ]; then
    echo "---- pcscd log (tail)"; tail -n 80 "$tmp/pcscd.log" 2>/dev/null || true
    echo "---- simulator"; cat "$tmp/sim.out" "$tmp/sim.err" 2>/dev/null || true
  fi
  [ -n "${VX7_PCSC_KEEP:-}" ] && cp "$tmp/pcscd.log" "$VX7_PCSC_KEEP" 2>/dev/null
  rm -rf "$tmp"
  exit $status
}
trap cleanup EXIT

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1 start=$SECONDS
  shift
  until "$@"; do
    if [ $((SECONDS - start)) -ge "$limit" ]; then return 1; fi
    sleep 0.2
  done
}

"$readersim" --pty >"$tmp/sim.out" 2>"$tmp/sim.err" &
sim_pid=$!
wait_for 10 grep -q '^pty: ' "$tmp/sim.out" || { echo "FAIL: the simulator printed no pty"; exit 1; }
pty=$(sed -n 's/^pty: //p' "$tmp/sim.out" | head -n1)
echo "simulator on $pty"

mkdir "$tmp/conf"
sed -e "s|@FRIENDLYNAME@|$name|" -e "s|@DEVICENAME@|$pty|" -e "s|@LIBPATH@|$handler|" \
  "$here/../../ifd/reader.conf.in" >"$tmp/conf/vx7"

if [ -S /run/pcscd/pcscd.comm ] && timeout 5 pcsc_scan -r >/dev/null 2>&1; then
  echo "FAIL: another pcscd is running; this test needs its own"
  exit 1
fi
# VX7_PCSCD_PRELOAD: the sanitizer runtimes for an instrumented handler; pcscd's
# own leaks are not the handler's business.
if [ -n "${VX7_PCSCD_PRELOAD:-}" ]; then
  LD_PRELOAD="$VX7_PCSCD_PRELOAD" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
    "$pcscd" -f -d -c "$tmp/conf" >"$tmp/pcscd.log" 2>&1 &
else
  "$pcscd" -f -d -c "$tmp/conf" >"$tmp/pcscd.log" 2>&1 &
fi
pcscd_pid=$!
wait_for 60 grep -q 'daemon ready' "$tmp/pcscd.log" || { echo "FAIL: pcscd not ready"; exit 1; }

# pcsc_scan -r lists both slots (pcscd adds them once the reader started).
have_both() {
  timeout 20 pcsc_scan -r >"$tmp/scan.out" 2>&1 || true
  grep -q "$name 00 00" "$tmp/scan.out" && grep -q "$name 00 01" "$tmp/scan.out"
}
if ! wait_for 60 have_both; then
  echo "FAIL: pcsc_scan -r does not list both slots:"; cat "$tmp/scan.out"; exit 1
fi
cat "$tmp/scan.out"

timeout 120 /usr/bin/python3 "$here/exchange.py" "$name"

# The handler's log through pcscd: no request needed a cancellation.
if grep -q 'cancelling it' "$tmp/pcscd.log"; then
  echo "FAIL: a request outlived its bound:"; grep 'ifd-vx7' "$tmp/pcscd.log"; exit 1
fi
echo "PASS"
