# Installs the Debian packages the project needs, only those missing.
# Usage: source scripts/deps.sh; mfpsys_install_deps test|demo|bench|coverage|vm
mfpsys_install_deps() {
    local want=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev)
    case "${1:-test}" in
        test) want+=(g++-powerpc-linux-gnu qemu-user python3) ;;
        demo) ;;
        bench) want+=(libbenchmark-dev libboost-dev valgrind python3) ;;
        coverage) want+=(gcovr python3) ;;
        # The virtual board: the emulator, the kernel source and its build tools.
        vm) want+=(g++-powerpc-linux-gnu qemu-system-ppc linux-source-6.1 make gcc flex bison bc
                   libelf-dev cpio xz-utils python3) ;;
    esac
    # One query for all of them: the run command checks on every call.
    local installed missing=()
    installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${want[@]}" 2>/dev/null |
        sed -n 's/ install ok installed$//p' || true)
    local p
    for p in "${want[@]}"; do
        grep -qx -- "$p" <<<"$installed" || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    $sudo apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}
