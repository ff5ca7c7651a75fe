# Sends one request through http.client, the way Python programs talk to the server.
#   client_peer.py <port> <method> <url> <body or -> [Header: value]...
import http.client
import sys

port, method, url, body = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
headers = dict(h.split(": ", 1) for h in sys.argv[5:])
connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
connection.request(method, url, body=None if body == "-" else body.encode(), headers=headers)
print(connection.getresponse().read().decode())
