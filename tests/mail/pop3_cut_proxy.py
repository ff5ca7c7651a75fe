"""Relays one POP3 connection to a real server and breaks it partway through a message.

Usage: pop3_cut_proxy.py PORT_FILE UPSTREAM_PORT RETR_NUMBER KEEP_BYTES

Listens on a free loopback port and writes that port to PORT_FILE. After the client's
RETR_NUMBER-th RETR command only the first KEEP_BYTES bytes of the server's answer reach the
client; then both connections close, as when a link fails in the middle of a download.
"""
import select
import socket
import sys


def main():
    port_file, upstream_port, retr_number, keep = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    with open(port_file + ".tmp", "w") as out:
        out.write(str(listener.getsockname()[1]))
    # Renamed into place so that the reader never sees a partly written number.
    import os
    os.rename(port_file + ".tmp", port_file)

    client, _ = listener.accept()
    server = socket.create_connection(("127.0.0.1", upstream_port))
    retrs = 0
    cutting = False
    while True:
        readable, _, _ = select.select([client, server], [], [], 30)
        if not readable:
            break
        if client in readable:
            data = client.recv(65536)
            if not data:
                break
            retrs += data.upper().count(b"RETR ")
            cutting = retrs >= retr_number
            server.sendall(data)
        if server in readable:
            data = server.recv(65536)
            if not data:
                break
            if cutting:
                client.sendall(data[:keep])
                keep -= min(keep, len(data))
                if keep == 0:
                    break
            else:
                client.sendall(data)
    client.close()
    server.close()


if __name__ == "__main__":
    main()
