#!/usr/bin/env python3
"""An RFC 3161 time-stamping authority on 127.0.0.1 for the test PKI, answering each request with
`openssl ts -reply`, run under faketime when the token is to carry a past time:
    loopback_tsa.py PORT_FILE CONFIG [FAKETIME]
It writes the port it listens on to PORT_FILE and serves until it is ended."""
import http.server
import os
import subprocess
import sys
import tempfile


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.NamedTemporaryFile(suffix=".tsq") as request:
            request.write(query)
            request.flush()
            command = ["openssl", "ts", "-reply", "-config", CONFIG, "-queryfile", request.name]
            if FAKETIME:
                command = ["faketime", FAKETIME] + command
            reply = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if reply.returncode != 0 or not reply.stdout:
            sys.stderr.write(reply.stderr.decode(errors="replace"))
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    PORT_FILE, CONFIG = sys.argv[1], sys.argv[2]
    FAKETIME = sys.argv[3] if len(sys.argv) > 3 else ""
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    with open(PORT_FILE + ".part", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(PORT_FILE + ".part", PORT_FILE)
    server.serve_forever()
