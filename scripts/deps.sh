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
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${options[@]}" "${missing[@]}"
}

# What every build needs.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev libgl-dev libssl-dev libssh-dev pkgconf fonts-ipafont-gothic python3)
# What the tests need on top: GoogleTest and the real FTP server with its
# TLS handler (python3-openssl; openssl makes the test certificates); dpkg-dev
# and file for building the Debian package; the OpenSSH server and clients
# and paramiko for the SFTP tests; clang-tidy for the source check and
# groff-base for formatting the manual page; Xvfb, xdotool, the AT-SPI bus and
# its Python bindings for reading the window as assistive technology does.
TEST_PACKAGES=(libgtest-dev python3-pyftpdlib python3-openssl openssl dpkg-dev file openssh-server openssh-client python3-paramiko clang-tidy groff-base xvfb xdotool at-spi2-core python3-gi gir1.2-atspi-2.0)
# What the run command's demo needs on top: the demo FTP server, and xdg-open
# for File -> ini file.
RUN_PACKAGES=(python3-pyftpdlib xdg-utils)
