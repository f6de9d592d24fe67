# Sourced by the benchmark scripts: a standalone anonymous vsftpd on a free
# loopback port, serving a directory read-only, passive replies naming
# 127.0.0.1.
#
#   start_vsftpd ROOT CONFDIR [CERT KEY]
#                               sets vsftpd_port and vsftpd_pid; waits (at most
#                               5 s) until the control port accepts. With a
#                               certificate and key (PEM files) explicit TLS is
#                               required on the control and data connections,
#                               data connections reusing the control
#                               connection's TLS session.
#   stop_vsftpd                 stops it (safe to call twice, or when none runs)
#
# Files under ROOT must be world-readable. Run as root, vsftpd confines the
# anonymous session to ROOT, so "/" names ROOT and absolute paths work as on
# any FTP server (vsftpd_chroot=1). Otherwise it runs as the calling user
# without confinement: the session starts in ROOT, but "/" is the machine's
# root, so only relative paths reach the files (vsftpd_chroot=0).
#
# Installs vsftpd when missing.

vsftpd_pid=""
vsftpd_port=""
vsftpd_chroot=0

start_vsftpd() {
    local root=$1 confdir=$2 cert=${3:-} key=${4:-}
    if ! command -v vsftpd >/dev/null; then
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q vsftpd
    fi
    # vsftpd cannot report a port it chose itself: take a free one from the
    # system and hand it over.
    vsftpd_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p /var/run/vsftpd/empty 2>/dev/null || true
    local launching=YES
    vsftpd_chroot=0
    if [ "$(id -u)" -eq 0 ] && id ftp >/dev/null 2>&1; then
        launching=NO
        vsftpd_chroot=1
    fi
    cat > "$confdir/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$vsftpd_port
background=NO
run_as_launching_user=$launching
anonymous_enable=YES
no_anon_password=YES
anon_root=$root
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
seccomp_sandbox=NO
xferlog_enable=NO
secure_chroot_dir=/var/run/vsftpd/empty
EOF
    if [ -n "$cert" ]; then
        cat >> "$confdir/vsftpd.conf" <<EOF
ssl_enable=YES
rsa_cert_file=$cert
rsa_private_key_file=$key
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
require_ssl_reuse=YES
ssl_ciphers=HIGH
EOF
    fi
    vsftpd "$confdir/vsftpd.conf" &
    vsftpd_pid=$!
    local i
    for i in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$vsftpd_port") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "vsftpd did not start on port $vsftpd_port" >&2
    return 1
}

stop_vsftpd() {
    # wait reports the signal as a failure; under set -e that would end an
    # EXIT trap before the rest of its clean-up.
    if [ -n "$vsftpd_pid" ]; then
        kill "$vsftpd_pid" 2>/dev/null || true
        wait "$vsftpd_pid" 2>/dev/null || true
        vsftpd_pid=""
    fi
    return 0
}
