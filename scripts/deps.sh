# Sourced by the other scripts: installs the Debian packages the build needs, when missing.
tarnd_need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q "${missing[@]}"
}

# The system test boots systemd with dbus, logind and polkitd; lintian checks the packages; the
# executable policy's test gives a user rights by ACL (setfacl).
TARND_NATIVE_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools dbus-daemon python3-dbusmock
    systemd dbus polkitd libpam-systemd iproute2 util-linux lintian acl)
# The wine suites refuse to run without wine64-preloader (cmake/windows-layer.cmake says why).
TARND_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine64 wine64-preloader doctest-dev)
TARND_FUZZ_PACKAGES=(clang libclang-rt-dev)
