# Sourced by the build scripts: install_missing [--no-install-recommends] PKG...
# installs the Debian packages that are not installed yet (one apt-get update
# first, then install); a leading option goes to apt-get install.
install_missing() {
    local options=()
    if [ "${1:-}" = --no-install-recommends ]; then
        options+=("$1")
        shift
    fi
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            # Nothing here can install them: say what is missing and how an
            # administrator installs it, and stop before a build that would fail.
            echo "Missing Debian packages: ${missing[*]}" >&2
            echo "Install them as root, then run this again:" >&2
            echo "  su -c 'apt-get update && apt-get install -y ${options[*]:+${options[*]} }${missing[*]}'" >&2
            echo "Stopped: ${#missing[@]} package(s) missing, nothing was built." >&2
            exit 1
        fi
        sudo="sudo"
    fi
    echo "Installing missing packages: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${options[@]}" "${missing[@]}"
}

# What every build needs.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev libgl-dev libssl-dev libssh-dev libpcre2-dev qtkeychain-qt6-dev pkgconf fonts-ipafont-gothic python3)
# What the tests need on top: GoogleTest and the real FTP server with its
# TLS handler (python3-openssl; openssl makes the test certificates); dpkg-dev
# and file for building the Debian package; the OpenSSH server and clients
# and paramiko for the SFTP tests; clang-tidy for the source check and
# groff-base for formatting the manual page; a Secret Service of the test's
# own (gnome-keyring on a private D-Bus session bus; libsecret-tools to look
# into it); Xvfb, xdotool, the AT-SPI bus and its Python bindings for reading
# the window as assistive technology does.
TEST_PACKAGES=(libgtest-dev python3-pyftpdlib python3-openssl openssl dpkg-dev file openssh-server openssh-client python3-paramiko clang-tidy groff-base gnome-keyring dbus-daemon libsecret-1-0 libsecret-tools xvfb xdotool at-spi2-core python3-gi gir1.2-atspi-2.0)
# What the run command's demo needs on top: the demo FTP server, and xdg-open
# for File -> ini file.
RUN_PACKAGES=(python3-pyftpdlib xdg-utils)
