"""A real SMTP server (aiosmtpd) on a loopback port for the mail tests.

Prints the port it listens on as the first line of its output, then serves until killed. Every
accepted message becomes <out>/message-<n>.txt (n from 1): the lines "FROM <sender>",
"TO <recipient> ..." and "USER <authenticated user or ->", an empty line, then the data as it
arrived (dots unstuffed). The commands the tests look for go to <out>/commands.txt, one per line.

Options shape the server: --auth USER:PASSWORD requires that login; --no-login offers AUTH PLAIN
only; --no-ehlo answers EHLO with 502; --no-8bitmime leaves 8BITMIME out of the EHLO reply; --reject WORD refuses recipients that contain WORD with
550; --refuse-mail-505 answers MAIL with 505; --refuse-data WORD answers DATA with 550 and
--defer-data WORD the end of the data with 451 when a recipient contains WORD; --data-delay SECONDS
waits that long before it answers the end of the data.
"""

import argparse
import asyncio
import os
import warnings

from aiosmtpd.smtp import SMTP, AuthResult


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--auth")
    parser.add_argument("--no-login", action="store_true")
    parser.add_argument("--no-ehlo", action="store_true")
    parser.add_argument("--no-8bitmime", action="store_true")
    parser.add_argument("--reject")
    parser.add_argument("--refuse-mail-505", action="store_true")
    parser.add_argument("--refuse-data")
    parser.add_argument("--defer-data")
    parser.add_argument("--data-delay", type=float, default=0)
    return parser.parse_args()


def concerns(word, envelope):
    return word is not None and any(word in address for address in envelope.rcpt_tos)


class Recorder:
    def __init__(self, options):
        self.options = options
        self.count = 0

    def append(self, name, text):
        with open(os.path.join(self.options.out, name), "a", encoding="utf-8") as out:
            out.write(text)
            out.flush()

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.options.refuse_mail_505:
            return "505 sender refused"
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.options.reject and self.options.reject in address:
            return "550 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.options.data_delay:
            await asyncio.sleep(self.options.data_delay)
        if concerns(self.options.defer_data, envelope):
            return "451 4.3.0 try again later"
        login = session.auth_data if session.authenticated else "-"
        self.count += 1
        head = "FROM %s\nTO %s\nUSER %s\n\n" % (envelope.mail_from, " ".join(envelope.rcpt_tos), login)
        with open(os.path.join(self.options.out, "message-%d.txt" % self.count), "wb") as out:
            out.write(head.encode() + envelope.original_content)
        return "250 OK"


class PeerSmtp(SMTP):
    """Notes each command line before aiosmtpd handles it."""

    def __init__(self, recorder, **kwargs):
        super().__init__(recorder, **kwargs)
        self.recorder = recorder

    async def smtp_EHLO(self, hostname):
        self.recorder.append("commands.txt", "EHLO\n")
        if self.recorder.options.no_ehlo:
            await self.push("502 command not implemented")
            return
        if not self.recorder.options.no_8bitmime:
            await super().smtp_EHLO(hostname)
            return
        push = self.push

        async def without_8bitmime(status):
            if status != "250-8BITMIME":
                await push(status)

        self.push = without_8bitmime
        try:
            await super().smtp_EHLO(hostname)
        finally:
            del self.push

    async def smtp_HELO(self, hostname):
        self.recorder.append("commands.txt", "HELO\n")
        await super().smtp_HELO(hostname)

    async def smtp_AUTH(self, arg):
        self.recorder.append("commands.txt", "AUTH " + arg + "\n")
        await super().smtp_AUTH(arg)

    async def smtp_DATA(self, arg):
        if concerns(self.recorder.options.refuse_data, self.envelope):
            await self.push("550 5.7.1 message refused")
            return
        await super().smtp_DATA(arg)

    async def smtp_RSET(self, arg):
        self.recorder.append("commands.txt", "RSET\n")
        await super().smtp_RSET(arg)

    async def smtp_QUIT(self, arg):
        self.recorder.append("commands.txt", "QUIT\n")
        await super().smtp_QUIT(arg)


def make_authenticator(expected):
    def authenticate(server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode()
        password = auth_data.password.decode()
        if login + ":" + password == expected:
            return AuthResult(success=True, auth_data=login)
        return AuthResult(success=False, handled=False)  # aiosmtpd answers 535

    return authenticate


async def serve(options):
    recorder = Recorder(options)
    settings = {"hostname": "peer.test", "auth_require_tls": False}
    if options.auth:
        settings["auth_required"] = True
        settings["authenticator"] = make_authenticator(options.auth)
        if options.no_login:
            settings["auth_exclude_mechanism"] = ["LOGIN"]
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: PeerSmtp(recorder, **settings), host="127.0.0.1", port=0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    # AUTH without TLS is what the client under test speaks; the warning says nothing new.
    warnings.simplefilter("ignore")
    asyncio.run(serve(parse_arguments()))
