# A WebSocket client: opens ws:// or wss:// (with the local authority),
# sends N text frames one after the other and checks each echo; prints the
# median round trip in milliseconds.
#   ws-echo.py HOST PORT NAME tls|plain N [CA]
import base64, os, socket, ssl, statistics, sys, time

host, port, name, mode, count = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5])
raw = socket.create_connection((host, port), timeout=10)
raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s = raw
if mode == "tls":
    s = ssl.create_default_context(cafile=sys.argv[6]).wrap_socket(raw, server_hostname=name)
key = base64.b64encode(os.urandom(16)).decode()
s.sendall(("GET /socket HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (name, key)).encode())
head = b""
while b"\r\n\r\n" not in head:
    piece = s.recv(4096)
    if not piece:
        sys.exit("closed before the upgrade: %r" % head)
    head += piece
if not head.startswith(b"HTTP/1.1 101"):
    sys.exit("no upgrade: %r" % head.split(b"\r\n")[0])
rest = head.split(b"\r\n\r\n", 1)[1]
times = []
for i in range(count):
    message = b"ping %d" % i
    mask = os.urandom(4)
    frame = bytes([0x81, 0x80 | len(message)]) + mask + bytes(b ^ mask[j % 4] for j, b in enumerate(message))
    start = time.perf_counter()
    s.sendall(frame)
    got = rest
    while len(got) < 2 + len(message):
        got += s.recv(4096)
    times.append(time.perf_counter() - start)
    rest = got[2 + len(message):]
    if got[2:2 + len(message)] != message:
        sys.exit("echo %d was %r" % (i, got))
print("%.3f" % (statistics.median(times) * 1000))
