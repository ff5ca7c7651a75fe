"""Reads one received mail as a mail client would: writes the decoded bytes of its first text part
to the file named second and prints that part's Content-Transfer-Encoding."""
import email
import sys

with open(sys.argv[1], "rb") as source:
    message = email.message_from_bytes(source.read())
for part in message.walk():
    if part.get_content_maintype() == "text":
        with open(sys.argv[2], "wb") as out:
            out.write(part.get_payload(decode=True))
        print(part.get("Content-Transfer-Encoding", ""))
        break
