# Sourced by ./cipher and ./test.sh: makes sure the Debian packages that the
# build needs are present. As root it installs what is missing; otherwise it
# prints the exact command and stops.
cipher_need_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}" >&2
        DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2 || return 1
    else
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
}

CIPHER_BUILD_PACKAGES=(g++ make cmake libssl-dev)
CIPHER_TEST_PACKAGES=(libgtest-dev libbenchmark-dev valgrind clang libclang-rt-14-dev locales time)
