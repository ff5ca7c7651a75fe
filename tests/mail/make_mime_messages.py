"""Writes the messages that the MIME reader's tests read, built with Python's email package.

Usage: make_mime_messages.py FOLDER

Each message is written as FOLDER/<name>.eml with CR LF line ends, as the POP3 client stores it.
The tests know what each holds; the comments here say what each one is for.
"""
import sys
from email import policy
from email.header import Header
from email.message import EmailMessage, Message
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

FOLDER = sys.argv[1]

# Every byte value, so that a base64 attachment must come back exactly.
ALL_BYTES = bytes(range(256)) * 4


def write(name, message):
    data = message.as_bytes(policy=message.policy.clone(linesep="\r\n"))
    with open(f"{FOLDER}/{name}.eml", "wb") as out:
        out.write(data)


def alternative():
    """multipart/alternative with a text and an HTML part; header fields of every kind."""
    message = EmailMessage()
    message["From"] = '"Doe, Jane" <jane.doe@example.org>'
    message["To"] = 'one@example.org, "Two; Second" <two@example.org>;three@example.org'
    message["Cc"] = "Copy Person <copy@example.org>"
    message["Subject"] = "Weekly report"
    message["X-Priority"] = " 1 (Highest)"
    message["X-Mailer"] = "ReportBot 2.1"
    message["X-Loop"] = "reports@example.org"
    message.set_content("Plain text body.\nSecond line.\n")
    message.add_alternative(
        "<html><head><title>t</title></head><BODY class=\"x\">\n<p>Hello</p>\n</Body></html>\n", subtype="html")
    write("alternative", message)


def mixed_nested():
    """multipart/mixed holding a nested alternative (quoted-printable text, base64 HTML) and
    attachments with awkward names, a second text/plain part without a name, binary data and an
    attached message."""
    message = EmailMessage()
    message["From"] = "bare@example.org (Bare Comment)"
    message["To"] = "box@example.org"
    message["Subject"] = "Nested"
    message.set_content("Caf\u00e9 cr\u00e8me, a line long enough that quoted-printable must wrap it: " + "x" * 70 +
                        "\nlast =line\n", cte="quoted-printable")
    message.add_alternative("<html><body><p>Caf\u00e9</p></body></html>\n", subtype="html", cte="base64")
    message.make_mixed()
    message.add_attachment(b"root:x:0:0\n", maintype="application", subtype="octet-stream",
                           filename="../../etc/passwd")
    message.add_attachment(ALL_BYTES, maintype="image", subtype="png", filename="C:\\Temp\\shot.png")
    message.add_attachment(b"%PDF-1.4\n", maintype="application", subtype="pdf", filename="r\u00e9sum\u00e9.pdf")
    extra = MIMEText("second plain part\n", "plain")
    message.attach(extra)
    inner = EmailMessage()
    inner["Subject"] = "inner"
    inner.set_content("inner body\n")
    message.add_attachment(inner)
    write("mixed_nested", message)


def related():
    """multipart/related: HTML with an inline image named only by Content-Type's name."""
    message = MIMEMultipart("related")
    message["From"] = "Related <rel@example.org>"
    message["Subject"] = "Related"
    message.attach(MIMEText("<html><body>see <img src=\"cid:logo\"></body></html>", "html"))
    image = Message()
    image["Content-Type"] = 'image/gif; name="logo.gif"'
    image["Content-Transfer-Encoding"] = "base64"
    image["Content-Disposition"] = "inline"
    image.set_payload("R0lGODlhAQABAAAAACw=\n")
    message.attach(image)
    write("related", message)


def encoded_subjects():
    """Encoded words: an ISO-8859 charset in the Q and the B encoding, folded over lines, and a
    UTF-8 word that stays as it is."""
    message = Message(policy=policy.compat32)
    message["From"] = Header("J\u00fcrgen M\u00fcller", "iso-8859-1").encode() + " <jm@example.org>"
    message["Subject"] = Header("Gr\u00fc\u00dfe aus K\u00f6ln, viele Gr\u00fc\u00dfe und noch mehr Text "
                                "damit die Zeile gefaltet wird_x", "iso-8859-1").encode(maxlinelen=60)
    message["X-Other"] = Header("\u00e9t\u00e9", "utf-8").encode()
    message.set_payload("body\n")
    write("encoded_subjects", message)
    other = Message(policy=policy.compat32)
    other["Subject"] = Header("\u00e9t\u00e9 \u2713", "utf-8").encode()
    other["X-Priority"] = "urgent"
    other.set_payload("body\n")
    write("utf8_subject", other)
    base = Message(policy=policy.compat32)
    base["Subject"] = "=?iso-8859-1?b?" + __import__("base64").b64encode("Ol\u00e9".encode("iso-8859-1")).decode() + "?="
    base.set_payload("body\n")
    write("b_subject", base)


def single_base64():
    """A single-part message whose body is base64 UTF-8 text."""
    message = EmailMessage()
    message["From"] = "b64@example.org"
    message["Subject"] = "Base64 body"
    message.set_content("\u00dcberall Text.\n" * 20, cte="base64")
    write("single_base64", message)


alternative()
mixed_nested()
related()
encoded_subjects()
single_base64()
