#!/usr/bin/env python3
"""An RFC 3161 time-stamping authority on 127.0.0.1 for the test PKI, answering each request with
`openssl ts -reply`, run under faketime when the token is to carry another time than now:
    loopback_tsa.py PORT_FILE CONFIG [FAKETIME]
or, for a signer whose certificate `openssl ts` refuses (one without the time-stamping usage),
with a token assembled here: a TSTInfo in DER signed by `openssl cms`, without the ESS
signing-certificate attribute that `openssl ts` adds:
    loopback_tsa.py PORT_FILE --by CERT KEY CERTS [FAKETIME]
With --by it also answers the legacy Authenticode requests (`osslsigncode -t`): base64 of a
request whose content is the signer's encrypted digest, answered with base64 of a PKCS#7 signed
by SIGNER over those bytes, with the signingTime and messageDigest that `openssl cms` adds.
It writes the port it listens on to PORT_FILE and serves until it is ended."""
import base64
import http.server
import os
import secrets
import subprocess
import sys
import tempfile

TSTINFO_TYPE = "1.2.840.113549.1.9.16.1.4"
# The test PKI's policy, 1.3.6.1.4.1.59999.1, as DER.
POLICY = bytes.fromhex("06092b0601040183d45f01")


def der(tag, contents):
    size = len(contents)
    if size < 0x80:
        return bytes([tag, size]) + contents
    length = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(length)]) + length + contents


def der_values(data):
    """The (tag, whole value) of each DER value in data, one after the other."""
    at = 0
    while at < len(data):
        tag, size, start = data[at], data[at + 1], at + 2
        if size & 0x80:
            count = size & 0x7F
            size = int.from_bytes(data[start:start + count], "big")
            start += count
        yield tag, data[at:start + size]
        at = start + size


def contents(value):
    """What one whole DER value holds, without its tag and length."""
    return value[2 + (value[1] & 0x7F if value[1] & 0x80 else 0):]


def faked(command):
    return ["faketime", FAKETIME] + command if FAKETIME else command


def assembled_reply(query):
    """TimeStampResp granting a token for the TimeStampReq `query`, signed by SIGNER."""
    fields = list(der_values(contents(next(der_values(query))[1])))
    imprint = next(value for tag, value in fields if tag == 0x30)
    nonce = [value for tag, value in fields[2:] if tag == 0x02]
    when = subprocess.run(faked(["date", "-u", "+%Y%m%d%H%M%SZ"]), stdout=subprocess.PIPE,
                          check=True).stdout.strip()
    serial = der(0x02, b"\x01" + secrets.token_bytes(8))
    info = der(0x30, der(0x02, b"\x01") + POLICY + imprint + serial + der(0x18, when) +
               b"".join(nonce))
    cert, key, certs = SIGNER
    with tempfile.NamedTemporaryFile(suffix=".der") as tstinfo:
        tstinfo.write(info)
        tstinfo.flush()
        token = subprocess.run(
            faked(["openssl", "cms", "-sign", "-binary", "-nodetach", "-econtent_type",
                   TSTINFO_TYPE, "-md", "sha256", "-nosmimecap", "-signer", cert, "-inkey", key,
                   "-certfile", certs, "-outform", "DER", "-in", tstinfo.name]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if token.returncode != 0:
        sys.stderr.write(token.stderr.decode(errors="replace"))
        return b""
    return der(0x30, der(0x30, der(0x02, b"\x00")) + token.stdout)


def legacy_reply(query):
    """The countersignature's PKCS#7 for the legacy request `query` (base64), in base64."""
    request = base64.b64decode(query)
    # TimeStampRequest: type, then ContentInfo { data, [0] { OCTET STRING encrypted digest } }
    fields = list(der_values(contents(next(der_values(request))[1])))
    content_info = list(der_values(contents(fields[-1][1])))
    encrypted_digest = contents(next(der_values(contents(content_info[1][1])))[1])
    cert, key, certs = SIGNER
    with tempfile.NamedTemporaryFile(suffix=".bin") as digest:
        digest.write(encrypted_digest)
        digest.flush()
        signed = subprocess.run(
            faked(["openssl", "cms", "-sign", "-binary", "-nodetach", "-md", "sha256",
                   "-nosmimecap", "-signer", cert, "-inkey", key, "-certfile", certs,
                   "-outform", "DER", "-in", digest.name]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if signed.returncode != 0:
        sys.stderr.write(signed.stderr.decode(errors="replace"))
        return b""
    return base64.b64encode(signed.stdout)


def openssl_reply(query):
    with tempfile.NamedTemporaryFile(suffix=".tsq") as request:
        request.write(query)
        request.flush()
        command = ["openssl", "ts", "-reply", "-config", CONFIG, "-queryfile", request.name]
        reply = subprocess.run(faked(command), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if reply.returncode != 0:
        sys.stderr.write(reply.stderr.decode(errors="replace"))
        return b""
    return reply.stdout


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        legacy = not query.startswith(b"\x30")
        if legacy:
            reply = legacy_reply(query) if SIGNER else b""
        else:
            reply = assembled_reply(query) if SIGNER else openssl_reply(query)
        if not reply:
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream" if legacy else
                         "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    PORT_FILE, rest = sys.argv[1], sys.argv[2:]
    CONFIG, SIGNER = "", None
    if rest[0] == "--by":
        SIGNER, rest = tuple(rest[1:4]), rest[4:]
    else:
        CONFIG, rest = rest[0], rest[1:]
    FAKETIME = rest[0] if rest else ""
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    with open(PORT_FILE + ".part", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(PORT_FILE + ".part", PORT_FILE)
    server.serve_forever()
