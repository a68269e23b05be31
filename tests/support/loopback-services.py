#!/usr/bin/env python3
"""Network services for the tests, on the loopback interface.

Usage: loopback-services.py FOLDER [CERTIFICATE KEY]

Binds 127.0.0.1 on a port the kernel picks, prints that port on one line and
serves until it is killed, over TLS with CERTIFICATE and KEY (PEM) when they
are given:
  GET  /files/NAME  answers FOLDER/NAME (a CRL, a certificate)
  POST /run/NAME    runs FOLDER/NAME.sh in FOLDER with the request's body on
                    its standard input; its standard output is the answer, as
                    the type in FOLDER/NAME.type (application/octet-stream
                    when there is none); 500 when the script fails
  any  /silent/...  reads the request and never answers
A request line with an absolute address (a proxy's, "GET http://host/files/x")
is served as its path. Every request is logged to FOLDER/requests.log as
"METHOD PATH", PATH as the request line gave it.
"""
import http.server
import os
import ssl
import urllib.parse
import subprocess
import sys
import threading

FOLDER = os.path.abspath(sys.argv[1])
LOG_LOCK = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", content_type="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def serve(self, method):
        with LOG_LOCK, open(os.path.join(FOLDER, "requests.log"), "a") as log:
            log.write(f"{method} {self.path}\n")
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path = urllib.parse.urlsplit(self.path).path if "://" in self.path else self.path
        parts = path.split("?")[0].strip("/").split("/", 1)
        kind, name = (parts + [""])[:2]
        if kind == "silent":
            threading.Event().wait()
        name = os.path.basename(name)
        if kind == "files" and method == "GET":
            path = os.path.join(FOLDER, name)
            if not os.path.isfile(path):
                return self.answer(404)
            with open(path, "rb") as f:
                return self.answer(200, f.read())
        if kind == "run" and method == "POST":
            script = os.path.join(FOLDER, name + ".sh")
            if not os.path.isfile(script):
                return self.answer(404)
            done = subprocess.run(["sh", script], input=body, cwd=FOLDER, capture_output=True)
            if done.returncode != 0:
                return self.answer(500, done.stderr, "text/plain")
            content_type = "application/octet-stream"
            type_file = os.path.join(FOLDER, name + ".type")
            if os.path.isfile(type_file):
                with open(type_file) as f:
                    content_type = f.read().strip()
            return self.answer(200, done.stdout, content_type)
        return self.answer(404)

    def do_GET(self):
        self.serve("GET")

    def do_POST(self):
        self.serve("POST")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that refused our certificate, or went away


server = Server(("127.0.0.1", 0), Handler)
if len(sys.argv) > 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
