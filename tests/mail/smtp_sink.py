#!/usr/bin/python3
"""A loopback SMTP server for the mail tests (Debian's python3-aiosmtpd).

Listens on 127.0.0.1 on a free port and writes that port to the --ready file once it accepts
connections. Every message received is stored in --folder as message-N.eml (the bytes as received)
and summarised, after an independent parse by Python's email package, in message-N.txt: one
"key<TAB>value" line per item, attachments saved as message-N.part-M. Each file appears complete
(written under a temporary name, then renamed). The number of connections so far is kept in
"connections". Recipients named with --reject are refused with 550. With --tls the server offers
STARTTLS with a self-signed certificate for 127.0.0.1 (folder/cert.pem), and a second listener speaks
TLS from the first byte (smtps) on the port in folder/smtps-port. The server ends by itself
after --lifetime seconds so that it never outlives a crashed test.
"""

import argparse
import asyncio
import email
import email.policy
import os
import ssl
import subprocess

from aiosmtpd.smtp import SMTP


def write_atomically(path, data):
    temporary = path + ".tmp"
    with open(temporary, "wb") as handle:
        handle.write(data)
    os.rename(temporary, path)


def one_line(text):
    return str(text).replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


class Sink:
    def __init__(self, folder, reject):
        self.folder = folder
        self.reject = {address.lower() for address in reject}
        self.count = 0
        self.connections = 0

    def connected(self):
        self.connections += 1
        write_atomically(os.path.join(self.folder, "connections"), str(self.connections).encode())

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.reject:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        stem = os.path.join(self.folder, "message-%d" % self.count)
        raw = envelope.original_content or envelope.content
        write_atomically(stem + ".eml", raw)

        message = email.message_from_bytes(raw, policy=email.policy.default)
        lines = [
            ("mail_from", envelope.mail_from),
            ("rcpt_to", ",".join(envelope.rcpt_tos)),
            ("tls", "1" if session.ssl is not None or server.transport.get_extra_info("sslcontext") else "0"),
            ("content_type", message.get_content_type()),
        ]
        for name in ("From", "To", "Subject", "Date", "Message-ID", "MIME-Version"):
            if name in message:
                lines.append(("header:" + name, message[name]))
        for index, part in enumerate(message.walk()):
            if part.is_multipart():
                continue
            payload = part.get_payload(decode=True) or b""
            filename = part.get_filename()
            if filename is None:
                lines.append(("body", "%s\t%d" % (part.get_content_type(), len(payload))))
                continue
            part_path = "%s.part-%d" % (stem, index)
            write_atomically(part_path, payload)
            lines.append(("attachment", "%s\t%s\t%s\t%s" % (
                one_line(filename), part.get_content_type(), part.get("Content-Transfer-Encoding", ""),
                part_path)))
        text = "".join("%s\t%s\n" % (key, value if key in ("body", "attachment") else one_line(value))
                       for key, value in lines)
        write_atomically(stem + ".txt", text.encode("utf-8"))
        return "250 Message accepted for delivery"


def self_signed_context(folder):
    certificate = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", certificate, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(certificate, key)
    return context


async def serve(arguments):
    sink = Sink(arguments.folder, arguments.reject)
    context = self_signed_context(arguments.folder) if arguments.tls else None

    class CountingSMTP(SMTP):
        def connection_made(self, transport):
            sink.connected()
            super().connection_made(transport)

    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: CountingSMTP(sink, hostname="sink.test", tls_context=context), "127.0.0.1", 0)
    if context is not None:
        smtps = await loop.create_server(lambda: CountingSMTP(sink, hostname="sink.test"), "127.0.0.1", 0,
                                         ssl=context)
        write_atomically(os.path.join(arguments.folder, "smtps-port"),
                         str(smtps.sockets[0].getsockname()[1]).encode())
    port = server.sockets[0].getsockname()[1]
    write_atomically(arguments.ready, str(port).encode())
    await asyncio.sleep(arguments.lifetime)
    server.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--reject", action="append", default=[])
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--lifetime", type=float, default=300)
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
