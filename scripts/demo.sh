#!/usr/bin/env bash
# The library's main job on a simulated board, narrated step by step:
# power-up of a blank board, concurrent writers, a restart, a power cut in the
# middle of a sector transfer, the registry and a download area.
# Installs what it needs, builds, runs on the virtual clock (--real-time: real
# waits) and ends with a one-line verdict.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

REAL_TIME=
for arg in "$@"; do
    case $arg in
        --real-time) REAL_TIME=--real-time ;;
        -h|--help) echo "usage: scripts/demo.sh [--real-time]"; exit 0 ;;
        *) echo "unknown argument: $arg" >&2; exit 2 ;;
    esac
done

# MFPSYS_DEMO_BUILD names a native build that already holds the tools (the
# test suite runs the demo that way); otherwise install and build here.
if [[ -n ${MFPSYS_DEMO_BUILD:-} ]]; then
    BUILD=$MFPSYS_DEMO_BUILD
else
    # shellcheck source=scripts/deps.sh
    source "$ROOT/scripts/deps.sh"
    mfpsys_install_deps demo || { echo "demo: FAIL (could not install packages)"; exit 1; }
    BUILD=$ROOT/build/demo
    echo "== building (native, $BUILD)"
    if ! { cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMFPSYS_BUILD_TESTS=OFF >/dev/null &&
           cmake --build "$BUILD" --target mfpctl mfpdemo_client mfpsim_tool mfpsim >/dev/null; }; then
        echo "demo: FAIL (build failed)"; exit 1
    fi
fi
export PATH=$BUILD/tools:$BUILD/sim:$PATH

WORK=$(mktemp -d "${TMPDIR:-/tmp}/mfpsys-demo.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
B=$WORK/board
failures=()
check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then echo "   ok: $what"; else echo "   NOT OK: $what"; failures+=("$what"); fi
}
step() { echo; echo "== $*"; }
boot() { mfpsim boot $REAL_TIME "$B" -- bash -c "$1"; }

# A download area with a valid header: magic 4D 45 00 03, a word, 12 info
# bytes (info byte 0 = 1), then the data.
{
    printf '\x4d\x45\x00\x03\x00\x00\x00\x01'
    printf '\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c'
    printf 'firmware image 2.4.1 for the download area'
} >"$WORK/area0.bin"

# Four block images: blocks 0x0000, 0x0400, 0x0800 hold up to 0xFF00 bytes,
# block 0x1000 up to 0x7F00.
ADDRS=(0x0000 0x0400 0x0800 0x1000)
SIZES=(65280 40000 1000 32512)
for i in 0 1 2 3; do
    head -c "${SIZES[$i]}" /dev/urandom >"$WORK/img$i"
done

step "1. A blank board powers up: the first read runs the power-up scan; nothing is stored yet"
mfpsim new $REAL_TIME "$B" --area0 "$WORK/area0.bin" >/dev/null
boot 'for a in 0x0000 0x0400 0x0800 0x1000; do
        mfpctl nv read $a -o /dev/null 2>/dev/null && echo "   block $a: has an image" || echo "   block $a: no image stored"
      done
      mfpctl nv status | head -n 1 | sed "s/^/   /"' >"$WORK/step1" 2>&1
cat "$WORK/step1"
check "no block reads before anything was written" bash -c "[ \$(grep -c 'no image stored' '$WORK/step1') -eq 4 ]"

step "2. Four processes write the four blocks at the same moment; the MAC address is set"
# On real time: a writer that finds the lock held retries a real second later,
# as on the board; on the virtual clock its ten retries could all pass while
# another writer still holds the lock.
mfpsim boot --real-time "$B" -- bash -c "
  for i in 0 1 2 3; do
    a=\$(echo ${ADDRS[*]} | cut -d' ' -f\$((i+1)))
    mfpctl nv write \$a '$WORK/img'\$i | sed 's/^/   /' &
  done
  wait
  mfpctl mac set 00:1a:2b:3c:4d:5e && echo '   mac set to 00:1a:2b:3c:4d:5e'
  mfpctl nv status | sed 's/^/   /'" | tee "$WORK/step2"
check "all four writes acknowledged" bash -c "[ \$(grep -c 'bytes written' '$WORK/step2') -eq 4 ]"

step "3. The board restarts (fresh IPC namespace, same flash); every block and the MAC read back"
boot "
  for i in 0 1 2 3; do
    a=\$(echo ${ADDRS[*]} | cut -d' ' -f\$((i+1)))
    mfpctl nv read \$a --length \$(stat -c %s '$WORK/img'\$i) -o '$WORK/back'\$i
  done
  mfpctl mac get" | sed 's/^/   /' | tee "$WORK/step3"
for i in 0 1 2 3; do
    check "block ${ADDRS[$i]} reads back byte for byte" cmp -s "$WORK/img$i" "$WORK/back$i"
done
check "the MAC address reads back" grep -q '00:1a:2b:3c:4d:5e' "$WORK/step3"

step "4. Power is cut in the middle of a sector transfer"
head -c 65280 /dev/urandom >"$WORK/v2"
head -c 65280 /dev/urandom >"$WORK/v3"
echo "   block 0x0000 gets a second image (acknowledged): its ring moves to sector 1"
boot "mfpctl nv write 0x0000 '$WORK/v2'" | sed 's/^/   /'
# The next write of block 0 moves the ring back to sector 0: erase ID, sector
# mark, count, data mark, then the data: the cut falls on the fifth program
# operation, with a prefix of the data programmed.
mfpsim cut "$B" --write 5 --tear prefix --salt 7 >/dev/null
echo "   a third image is being written when the power fails:"
boot "mfpctl nv write 0x0000 '$WORK/v3'" >"$WORK/step4w" 2>&1
echo "   the writer was $( grep -q 'bytes written' "$WORK/step4w" && echo 'acknowledged (unexpected)' || echo 'killed before it was acknowledged')"
echo "   flash inspect before the restart:"
mfpctl flash inspect --board "$B" | sed -n '/^sector 0 /,/^sector 2 /p' | grep -v '^sector 2' | sed 's/^/     /'
mfpctl flash inspect --board "$B" --json >"$WORK/before.json"
boot "mfpctl nv read 0x0000 -o '$WORK/after'" 
echo "   after the restart the power-up scan recovered the ring; flash inspect:"
mfpctl flash inspect --board "$B" | sed -n '/^sector 0 /,/^sector 2 /p' | grep -v '^sector 2' | sed 's/^/     /'
check "block 0x0000 holds the last acknowledged image" cmp -s "$WORK/v2" "$WORK/after"
check "no write ever tried to raise a bit (NOR rule)" bash -c "mfpsim stat '$B' | grep -Eq 'violations[^0-9]*0\$'"

step "5. Clients hold dynamic keys; the registry and a download-area header"
boot "mfpdemo_client 3 | sed 's/^/   /'
      mfpctl nv read 0x0400 -o /dev/null
      echo '   registry:'; mfpctl shm list | sed 's/^/     /'
      echo '   dynamic keys:'; mfpctl shm keys | sed 's/^/     /'
      echo '   download area 0:'; mfpctl dwl show 0 | sed 's/^/     /'" | tee "$WORK/step5"
check "the registry lists the NV shared state and the clients' segments" grep -q '^     21247 ' "$WORK/step5"
check "the clients' keys are in use" grep -q '3 dynamic key(s) in use' "$WORK/step5"
check "download area 0 is accepted" grep -q 'accepted' "$WORK/step5"

echo
if [[ ${#failures[@]} -eq 0 ]]; then
    echo "demo: PASS (4 blocks and the MAC survived a restart; a power cut mid-transfer kept the last acknowledged image)"
    exit 0
fi
echo "demo: FAIL (${failures[*]})"
exit 1
