# Sends the exact bytes of a file to the test server and prints its reply.
#   raw_peer.py <port> <file> [whole | half-close | slow:<seconds between bytes> | silent |
#                              paced:<bytes a piece>:<seconds between pieces>]
# half-close ends the sending side after the bytes, so the server sees the data end there; silent
# sends nothing at all.
import socket
import sys
import time

port, path = int(sys.argv[1]), sys.argv[2]
mode = sys.argv[3] if len(sys.argv) > 3 else "whole"
with open(path, "rb") as f:
    data = f.read()
try:
    with socket.create_connection(("127.0.0.1", port)) as s:
        if mode.startswith("slow:"):
            pause = float(mode[5:])
            for byte in data:
                s.sendall(bytes([byte]))
                time.sleep(pause)
        elif mode.startswith("paced:"):
            size, pause = mode[6:].split(":")
            for start in range(0, len(data), int(size)):
                s.sendall(data[start:start + int(size)])
                time.sleep(float(pause))
        elif mode == "silent":
            pass
        else:
            s.sendall(data)
        if mode == "half-close":
            s.shutdown(socket.SHUT_WR)
        reply = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
        sys.stdout.buffer.write(reply)
except OSError as error:
    # The server may close without reading everything (a refused body, a head over its bounds).
    print("peer:", error)
