#!/usr/bin/env bash
# The library's main job on a simulated board, narrated step by step:
# power-up of a blank board, concurrent writers, a restart, a power cut in the
# middle of a sector transfer, the registry and a download area.
# Installs what it needs, builds, runs on the virtual clock (--real-time: real
# waits) and ends with a one-line verdict. --vm: the same story on the virtual
# board (scripts/vm.sh: a PowerPC kernel with the board's drivers, real time),
# where each step is one boot and the power cut stops the whole machine.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

REAL_TIME=
VM=
for arg in "$@"; do
    case $arg in
        --real-time) REAL_TIME=--real-time ;;
        --vm) VM=1 ;;
        -h|--help) echo "usage: scripts/demo.sh [--real-time | --vm]"; exit 0 ;;
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
if [[ -n $VM ]]; then
    echo "== building the virtual board (kernel, drivers, board build; once)"
    "$ROOT/scripts/vm.sh" build || { echo "demo: FAIL (virtual board build failed)"; exit 1; }
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
# On the virtual board there is no shell: mfprun runs the step's programs in
# turn (';') or together ('&'); the demo's files go into the guest's /tmp.
vmboot() {
    local files=() f
    for f in "$WORK"/img? "$WORK"/v? "$ROOT/build/board/tools/mfpdemo_client"; do [[ -f $f ]] && files+=(--file "$f"); done
    "$ROOT/scripts/vm.sh" run "$B" "${files[@]}" -- "$ROOT/build/board/tools/mfprun" "$@"
}

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
if [[ -n $VM ]]; then
    vmboot mfpctl nv read 0x0000 -o /tmp/b ';' mfpctl nv read 0x0400 -o /tmp/b ';' mfpctl nv read 0x0800 -o /tmp/b ';' \
           mfpctl nv read 0x1000 -o /tmp/b ';' mfpctl nv status >"$WORK/vm1" 2>&1
    for a in "${ADDRS[@]}"; do
        grep -q "block $a was not read" "$WORK/vm1" && echo "   block $a: no image stored" || echo "   block $a: has an image"
    done >"$WORK/step1"
    grep -m1 '^powered up' "$WORK/vm1" | sed 's/^/   /' >>"$WORK/step1"
else boot 'for a in 0x0000 0x0400 0x0800 0x1000; do
        mfpctl nv read $a -o /dev/null 2>/dev/null && echo "   block $a: has an image" || echo "   block $a: no image stored"
      done
      mfpctl nv status | head -n 1 | sed "s/^/   /"' >"$WORK/step1" 2>&1
fi
cat "$WORK/step1"
check "no block reads before anything was written" bash -c "[ \$(grep -c 'no image stored' '$WORK/step1') -eq 4 ]"

step "2. Four processes write the four blocks at the same moment; the MAC address is set"
# On real time: a writer that finds the lock held retries a real second later,
# as on the board; on the virtual clock its ten retries could all pass while
# another writer still holds the lock.
if [[ -n $VM ]]; then
    vmboot mfpctl nv write 0x0000 /tmp/img0 '&' mfpctl nv write 0x0400 /tmp/img1 '&' mfpctl nv write 0x0800 /tmp/img2 '&' \
           mfpctl nv write 0x1000 /tmp/img3 ';' mfpctl mac set 00:1a:2b:3c:4d:5e ';' mfpctl nv status 2>&1 | sed 's/^/   /'
else mfpsim boot --real-time "$B" -- bash -c "
  for i in 0 1 2 3; do
    a=\$(echo ${ADDRS[*]} | cut -d' ' -f\$((i+1)))
    mfpctl nv write \$a '$WORK/img'\$i | sed 's/^/   /' &
  done
  wait
  mfpctl mac set 00:1a:2b:3c:4d:5e && echo '   mac set to 00:1a:2b:3c:4d:5e'
  mfpctl nv status | sed 's/^/   /'"
fi | tee "$WORK/step2"
check "all four writes acknowledged" bash -c "[ \$(grep -c 'bytes written' '$WORK/step2') -eq 4 ]"

step "3. The board restarts (fresh IPC namespace, same flash); every block and the MAC read back"
if [[ -n $VM ]]; then
    # The guest's /tmp goes with the power: it compares there.
    vmboot mfpctl nv read 0x0000 --length 65280 -o /tmp/back0 ';' mfpctl nv read 0x0400 --length 40000 -o /tmp/back1 ';' \
           mfpctl nv read 0x0800 --length 1000 -o /tmp/back2 ';' mfpctl nv read 0x1000 --length 32512 -o /tmp/back3 ';' \
           mfpvm same /tmp/img0 /tmp/back0 ';' mfpvm same /tmp/img1 /tmp/back1 ';' mfpvm same /tmp/img2 /tmp/back2 ';' \
           mfpvm same /tmp/img3 /tmp/back3 ';' mfpctl mac get
else boot "
  for i in 0 1 2 3; do
    a=\$(echo ${ADDRS[*]} | cut -d' ' -f\$((i+1)))
    mfpctl nv read \$a --length \$(stat -c %s '$WORK/img'\$i) -o '$WORK/back'\$i
  done
  mfpctl mac get"
fi | sed 's/^/   /' | tee "$WORK/step3"
for i in 0 1 2 3; do
    if [[ -n $VM ]]; then
        check "block ${ADDRS[$i]} reads back byte for byte" grep -q "/tmp/img$i is the same as" "$WORK/step3"
    else
        check "block ${ADDRS[$i]} reads back byte for byte" cmp -s "$WORK/img$i" "$WORK/back$i"
    fi
done
check "the MAC address reads back" grep -q '00:1a:2b:3c:4d:5e' "$WORK/step3"

step "4. Power is cut in the middle of a sector transfer"
head -c 65280 /dev/urandom >"$WORK/v2"
head -c 65280 /dev/urandom >"$WORK/v3"
echo "   block 0x0000 gets a second image (acknowledged): its ring moves to sector 1"
if [[ -n $VM ]]; then vmboot mfpctl nv write 0x0000 /tmp/v2; else boot "mfpctl nv write 0x0000 '$WORK/v2'"; fi | sed 's/^/   /'
# The next write of block 0 moves the ring back to sector 0: erase ID, sector
# mark, count, data mark, then the data: the cut falls on the fifth program
# operation, with a prefix of the data programmed.
echo "   a third image is being written when the power fails:"
if [[ -n $VM ]]; then
    # The virtual board counts program and erase steps together; the fifth
    # still falls among the new sector's first fields.
    "$ROOT/scripts/vm.sh" run "$B" --cut-at 5:prefix --salt 7 --file "$WORK/v3" -- mfpctl nv write 0x0000 /tmp/v3 >"$WORK/step4w" 2>&1
    grep '^vm: power cut' "$WORK/step4w" | sed 's/^/   /'
else
    mfpsim cut "$B" --write 5 --tear prefix --salt 7 >/dev/null
    boot "mfpctl nv write 0x0000 '$WORK/v3'" >"$WORK/step4w" 2>&1
fi
echo "   the writer was $( grep -q 'bytes written' "$WORK/step4w" && echo 'acknowledged (unexpected)' || echo 'killed before it was acknowledged')"
echo "   flash inspect before the restart:"
mfpctl flash inspect --board "$B" | sed -n '/^sector 0 /,/^sector 2 /p' | grep -v '^sector 2' | sed 's/^/     /'
mfpctl flash inspect --board "$B" --json >"$WORK/before.json"
if [[ -n $VM ]]; then
    vmboot mfpctl nv read 0x0000 -o /tmp/after ';' mfpvm same /tmp/v2 /tmp/after >"$WORK/step4r" 2>&1
else
    boot "mfpctl nv read 0x0000 -o '$WORK/after'"
fi
echo "   after the restart the power-up scan recovered the ring; flash inspect:"
mfpctl flash inspect --board "$B" | sed -n '/^sector 0 /,/^sector 2 /p' | grep -v '^sector 2' | sed 's/^/     /'
if [[ -n $VM ]]; then
    check "the power cut stopped the machine" grep -q '^vm: power cut at' "$WORK/step4w"
    check "block 0x0000 holds the last acknowledged image" grep -q 'is the same as' "$WORK/step4r"
else
    check "block 0x0000 holds the last acknowledged image" cmp -s "$WORK/v2" "$WORK/after"
    check "no write ever tried to raise a bit (NOR rule)" bash -c "mfpsim stat '$B' | grep -Eq 'violations[^0-9]*0\$'"
fi

step "5. Clients hold dynamic keys; the registry and a download-area header"
if [[ -n $VM ]]; then
    vmboot /tmp/mfpdemo_client 3 ';' mfpctl nv read 0x0400 -o /tmp/b ';' mfpctl shm list ';' mfpctl shm keys ';' mfpctl dwl show 0 |
        sed 's/^/     /'
else boot "mfpdemo_client 3 | sed 's/^/   /'
      mfpctl nv read 0x0400 -o /dev/null
      echo '   registry:'; mfpctl shm list | sed 's/^/     /'
      echo '   dynamic keys:'; mfpctl shm keys | sed 's/^/     /'
      echo '   download area 0:'; mfpctl dwl show 0 | sed 's/^/     /'"
fi | tee "$WORK/step5"
check "the registry lists the NV shared state and the clients' segments" grep -q '^     21247 ' "$WORK/step5"
check "the clients' keys are in use" grep -q '3 dynamic key(s) in use' "$WORK/step5"
check "download area 0 is accepted" grep -q 'accepted' "$WORK/step5"

echo
if [[ ${#failures[@]} -eq 0 ]]; then
    echo "demo: PASS (4 blocks and the MAC survived a restart; a power cut mid-transfer kept the last acknowledged image)${VM:+ on the virtual board}"
    exit 0
fi
echo "demo: FAIL (${failures[*]})"
exit 1
