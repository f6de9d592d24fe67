# Sourced by the SFTP benchmarks after they set `work` (a temporary folder):
# starts OpenSSH's sshd on a free loopback port with a host key and a client
# key made for the run, and sets
#   port      the port it listens on,
#   sshd_pid  its process (the EXIT trap below ends it and removes $work),
#   user      the user it logs in,
#   ssh_opts  the options for OpenSSH's own clients (that key, that host
#             key only, no agent, no user config),
# with $work/home/.ssh holding the client key and a known_hosts entry, for
# HOME=$work/home.
sshd_pid=""
cleanup() {
    [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home/.ssh" /run/sshd
chmod 700 "$work/home/.ssh"
ssh-keygen -q -t ed25519 -N '' -C host -f "$work/host_ed25519"
ssh-keygen -q -t ed25519 -N '' -C client -f "$work/home/.ssh/id_ed25519"
cp "$work/home/.ssh/id_ed25519.pub" "$work/authorized_keys"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/sshd_config" <<CONF
ListenAddress 127.0.0.1
HostKey $work/host_ed25519
PidFile none
UsePAM no
StrictModes no
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
Subsystem sftp internal-sftp
LogLevel ERROR
CONF
/usr/sbin/sshd -D -e -f "$work/sshd_config" -p "$port" -E "$work/sshd.log" &
sshd_pid=$!
echo "[127.0.0.1]:$port $(cat "$work/host_ed25519.pub")" > "$work/home/.ssh/known_hosts"
for _ in $(seq 100); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break
    sleep 0.05
done
user=$(id -un)
ssh_opts="-q -o BatchMode=yes -o UserKnownHostsFile=$work/home/.ssh/known_hosts -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes -i $work/home/.ssh/id_ed25519 -F /dev/null -P $port"
