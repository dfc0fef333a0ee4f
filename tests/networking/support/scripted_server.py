#!/usr/bin/env python3
"""Replies no well-behaved server gives, for the networking tests. Listens on 127.0.0.1.

  /norange     a fixed 300000-byte body, slowly, always 200 with all of it (Range ignored)
  /charset/CS  the JSON {"text": "Grüße €"} encoded in charset CS and declared so
  /fieldcase/S a JSON body whose Content-Type (with a charset) and Content-Length field names
               are written in style S: lower, upper, or any other for mixed
  /never       announces 10 MB, sends 1000 bytes, then stalls until the client leaves
  /delay/MS... waits MS milliseconds, then as below
  /challenge/... recorded as below, then 401 with a Basic challenge unless the request carries
               an Authorization header
  anything else (any method): records method, path, headers and body (base64) as one JSON
               line in DIR/requests.jsonl, answers 200 application/json {"ok": true}
"""
import base64, json, random, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PORT, DIR = int(sys.argv[1]), sys.argv[2]
BODY = random.Random(7).randbytes(300000)
LOCK = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, ctype, body):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("ETag", '"fixed"')
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            while True:
                size = int(self.rfile.readline().strip() or b"0", 16)
                if size == 0:
                    self.rfile.readline()
                    break
                body += self.rfile.read(size)
                self.rfile.readline()
        if self.path == "/norange":
            # Slowly, so that a client can pause it half way.
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(BODY)))
            self.end_headers()
            try:
                for at in range(0, len(BODY), 10000):
                    self.wfile.write(BODY[at:at + 10000])
                    self.wfile.flush()
                    time.sleep(0.01)
            except OSError:
                pass
            return
        if self.path.startswith("/charset/"):
            cs = self.path[len("/charset/"):]
            return self.reply(200, "application/json; charset=" + cs, json.dumps({"text": "Grüße €"}, ensure_ascii=False).encode(cs))
        if self.path.startswith("/fieldcase/"):
            # The head's field names written as named: "lower", "upper" or "Mixed" case.
            style = self.path[len("/fieldcase/"):]
            name = {"lower": str.lower, "upper": str.upper}.get(style, lambda n: n[:1].lower() + n[1:].upper())
            data = json.dumps({"case": style}).encode()
            self.send_response(200)
            self.send_header(name("Content-Type"), "application/json; charset=iso-8859-1")
            self.send_header(name("Content-Length"), str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            return
        if self.path == "/never":
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(10 * 1024 * 1024))
            self.end_headers()
            self.wfile.write(b" " * 1000)
            self.wfile.flush()
            try:
                self.rfile.read(1)  # returns when the client goes away
            except Exception:
                pass
            return
        if self.path.startswith("/delay/"):
            time.sleep(int(self.path.split("/")[2]) / 1000.0)
        record = {"method": self.command, "path": self.path, "headers": dict(self.headers.items()),
                  "body": base64.b64encode(body).decode()}
        # Recorded, and the file closed, before the reply: a client that has its answer finds
        # its request here.
        with LOCK, open(DIR + "/requests.jsonl", "a") as f:
            f.write(json.dumps(record) + "\n")
        if self.path.startswith("/challenge/") and not self.headers.get("Authorization"):
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="t"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.reply(200, "application/json", b'{"ok": true}')

    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = handle_any


ThreadingHTTPServer.daemon_threads = True
# A client that cancels mid-reply is expected here: no traceback for it.
ThreadingHTTPServer.handle_error = lambda self, request, client_address: None
ThreadingHTTPServer(("127.0.0.1", PORT), Handler).serve_forever()
