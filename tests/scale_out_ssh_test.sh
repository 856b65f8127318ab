#!/usr/bin/env bash
# scale_out_ssh_test.sh QUARNEL_BINARY SOURCE_DIR: the README's example for several
# machines, run against two ssh logins to this one.
#
# Starts an sshd of its own (Debian's openssh-server) on two free loopback ports, with a
# host key, a user key and a configuration made in a scratch folder: public-key login of
# the current user only, no PAM. Each port is one "machine": a login there runs in a home
# folder of its own (a forced command that changes to it), so the program that GNU
# parallel's --basefile sends must really arrive there. The ssh client that parallel and
# rsync call is a wrapper with a private configuration naming the machines host-a and
# host-b, their pinned host keys and the user key. Then the README's block runs as
# written; its joined output must equal one run's, its summaries must add up to one
# run's, both machines must have run pieces, and --cleanup must have removed the program
# again. The sshd is stopped on every exit.
set -euo pipefail

quarnel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
source=$(cd "$2" && pwd)
. "$source/tests/support/shell_support.sh"
require_tools parallel rsync ssh ssh-keygen perl awk
[ -x /usr/sbin/sshd ] || require_tools sshd
scratch=$(mktemp -d)
sshd_pid=""
cleanup() {
    if [ -n "$sshd_pid" ]; then kill "$sshd_pid" 2> /dev/null || true; wait "$sshd_pid" 2> /dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT
user=$(id -un)

# sshd needs its privilege separation directory, which Debian's service makes at boot.
if [ ! -d /run/sshd ] && [ "$(id -u)" -eq 0 ]; then mkdir -m 0755 /run/sshd; fi

# Two free loopback ports.
read -r port_a port_b < <(perl -MIO::Socket::INET -e '
    my @s = map { IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1:0") or die "no port: $!" } 1 .. 2;
    print join(" ", map { $_->sockport } @s), "\n"')

keys=$scratch/keys
mkdir -p "$keys" "$scratch/host-a" "$scratch/host-b" "$scratch/bin" "$scratch/home" "$scratch/work"
chmod 700 "$keys"
ssh-keygen -q -t ed25519 -N '' -C quarnel-test-host -f "$keys/host_key"
ssh-keygen -q -t ed25519 -N '' -C quarnel-test-user -f "$keys/user_key"
cp "$keys/user_key.pub" "$keys/authorized_keys"

# A login on each machine runs in its own home folder and notes the command it was given.
for host in host-a host-b; do
    cat > "$scratch/$host/login.sh" <<EOF
#!/bin/sh
cd '$scratch/$host' || exit 1
printf '%s\n' "\$SSH_ORIGINAL_COMMAND" >> '$scratch/$host.sessions'
HOME='$scratch/$host' exec "\${SHELL:-/bin/sh}" -c "\$SSH_ORIGINAL_COMMAND"
EOF
    chmod 755 "$scratch/$host/login.sh"
done
cat > "$scratch/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port_a
ListenAddress 127.0.0.1:$port_b
HostKey $keys/host_key
PidFile $scratch/sshd.pid
AuthorizedKeysFile $keys/authorized_keys
AllowUsers $user
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
UseDNS no
PrintMotd no
PrintLastLog no
X11Forwarding no
AllowTcpForwarding no
ForceCommand $scratch/host-a/login.sh
Match LocalPort $port_b
    ForceCommand $scratch/host-b/login.sh
EOF
/usr/sbin/sshd -t -f "$scratch/sshd_config" || fail "sshd does not accept its configuration"
/usr/sbin/sshd -D -f "$scratch/sshd_config" -E "$scratch/sshd.log" &
sshd_pid=$!
for _ in $(seq 100); do
    [ "$(grep -c 'Server listening on' "$scratch/sshd.log" 2> /dev/null)" -ge 2 ] && break
    kill -0 "$sshd_pid" 2> /dev/null || fail "sshd ended: $(cat "$scratch/sshd.log")"
    sleep 0.1
done
[ "$(grep -c 'Server listening on' "$scratch/sshd.log")" -ge 2 ] || fail "sshd is not listening: $(cat "$scratch/sshd.log")"

# The client: the two machines by name, the host key pinned, the user key, nothing from
# the user's own ssh configuration.
host_key=$(cut -d' ' -f1,2 "$keys/host_key.pub")
printf '[127.0.0.1]:%s %s\n' "$port_a" "$host_key" "$port_b" "$host_key" > "$keys/known_hosts"
cat > "$scratch/ssh_config" <<EOF
Host host-a
    Port $port_a
Host host-b
    Port $port_b
Host *
    HostName 127.0.0.1
    User $user
    IdentityFile $keys/user_key
    IdentitiesOnly yes
    UserKnownHostsFile $keys/known_hosts
    StrictHostKeyChecking yes
    BatchMode yes
    LogLevel ERROR
EOF
cat > "$scratch/bin/ssh" <<EOF
#!/bin/sh
exec '$(command -v ssh)' -F '$scratch/ssh_config' "\$@"
EOF
chmod 755 "$scratch/bin/ssh"
export PATH="$scratch/bin:$PATH" HOME="$scratch/home" TMPDIR="$scratch"
[ "$(ssh host-b echo '$HOME')" = "$scratch/host-b" ] || fail "no login to host-b: $(cat "$scratch/sshd.log")"
rm -f "$scratch/host-b.sessions"

cd "$scratch/work"
# About 2.5 MB of log: the sample's lines again and again, each copy numbered.
awk '{ line[NR] = $0 } END { for (i = 1; i <= 3000; ++i) for (j = 1; j <= NR; ++j) print line[j] " #" i }' \
    "$source/samples/server.log" > app.log
# The program to send, in the current folder as the README has it.
cp "$quarnel" quarnel
"$quarnel" -ic -fERROR < app.log > one-run.out 2> one-run.err

# counts ERR_FILE: the lines written / lines read of the summaries in it, added up.
counts() {
    awk -F'[ /]' '/^Processing / { w += $2; r += $3 } END { print w "/" r }' "$1"
}

# The README's block, exactly as written there.
awk '/<!-- tested by tests\/scale_out_ssh_test.sh -->/ { found = 1; next }
     found && /^```/ { if (inside) exit; inside = 1; next }
     inside { print }' "$source/README.md" > example.sh
grep -q 'parallel .*--basefile' example.sh || fail "no parallel --basefile example in README.md"
bash -e example.sh > example.out 2> example.err || fail "the README's example failed: $(cat example.err)"
cmp one-run.out errors.log || fail "README example: the joined pieces differ from one run"
pieces=$(grep -c '^Processing ' pieces.err)
[ "$pieces" -ge 4 ] || fail "README example: only $pieces pieces: $(cat pieces.err)"
[ "$(cat example.out)" = "$(counts one-run.err)" ] ||
    fail "README example: summaries add up to $(cat example.out), one run says $(counts one-run.err)"
for host in host-a host-b; do
    grep -q 'quarnel' "$scratch/$host.sessions" 2> /dev/null || fail "no piece ran on $host"
    [ ! -e "$scratch/$host/quarnel" ] || fail "--cleanup left quarnel on $host"
done
echo "scale out over ssh: $pieces pieces on host-a and host-b joined equal one run"
