#!/bin/sh
# Another local user (uid 65534) at the Windows programs' loopback ports, run
# by the Windows tests through Wine (which starts Unix programs but hands back
# no exit code): the result is one line in the file named first.
#   stranger.sh OUT listen PORT MS  "listening" once it holds 127.0.0.1:PORT, for MS ms
#   stranger.sh OUT talk PORT       connects, asks for OpenVPN's credentials as
#                                   OpenVPN would, and writes "got <what came back>"
out=$1
what=$2
port=$3
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null || [ ! -x /usr/bin/python3 ]; then
  echo "skip: needs root, setpriv and /usr/bin/python3" > "$out"
  exit 0
fi
# The stranger's lines go to a file that root opens for him.
case "$what" in
  listen)
    setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(1)
print("listening", flush=True)
time.sleep(int(sys.argv[2]) / 1000)' "$port" "$4" > "$out.tmp" &
    i=0
    while [ ! -s "$out.tmp" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
    [ -s "$out.tmp" ] || echo "not listening" > "$out.tmp"
    mv "$out.tmp" "$out" ;;
  talk)
    setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import socket, sys
got = b""
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=3)
    s.sendall(b">HOLD:Waiting for hold release:0\r\n>PASSWORD:Need '"'"'Auth'"'"' username/password\r\n")
    while True:
        part = s.recv(4096)
        if not part:
            break
        got += part
except OSError:
    pass
print("got " + got.decode("latin-1").replace("\r", " ").replace("\n", " "))' "$port" > "$out.tmp"
    mv "$out.tmp" "$out" ;;
esac
