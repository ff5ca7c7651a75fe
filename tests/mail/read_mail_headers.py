"""Reads one received mail as a mail client would and prints what it shows: the decoded subject,
the display names of From, To and Reply-To, an added header, the body's charset and its text.
A header line that is not plain ASCII is reported, since mail servers mangle such lines."""
import email
import email.policy
import sys

with open(sys.argv[1], "rb") as source:
    raw = source.read()
head = raw.split(b"\r\n\r\n", 1)[0]
for line in head.split(b"\r\n"):
    if any(byte >= 0x80 for byte in line):
        print("8-bit header line:", line)
message = email.message_from_bytes(raw, policy=email.policy.default)
print("Subject:", message["Subject"])
print("From:", message["From"].addresses[0].display_name, message["From"].addresses[0].addr_spec)
print("To:", "; ".join(a.display_name + " " + a.addr_spec for a in message["To"].addresses))
if message["Reply-To"] is not None:
    print("Reply-To:", message["Reply-To"].addresses[0].display_name)
if message["X-Note"] is not None:
    print("X-Note:", message["X-Note"])
print("Charset:", message.get_content_charset())
print("Body:", message.get_content().strip())
