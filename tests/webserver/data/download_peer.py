# Downloads one URL through http.client and stores the body, the way Python programs fetch files.
#   download_peer.py <port> <path> <body file>
# Prints the status and the Content-Type and Content-Length headers.
import http.client
import sys

port, path, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
connection.request("GET", path, headers={"Connection": "close"})
response = connection.getresponse()
body = response.read()
with open(out, "wb") as f:
    f.write(body)
print(response.status, response.getheader("Content-Type"), response.getheader("Content-Length"))
