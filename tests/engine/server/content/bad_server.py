#!/usr/bin/env python3
"""Scripted HTTP peer for replies no good server sends.

Usage: bad_server.py [--upstream PORT] [--expect FILE] [--tls CERT KEY]
Listens on 127.0.0.1 (free port), prints "port N", and answers each
connection (over TLS with --tls) by the first path segment of its request:
  /short      Content-Length 1000, 500 bytes, close
  /chunkcut   chunked, a chunk cut in the middle, close
  /nolast     chunked without the 0-chunk, close
  /hugechunk  chunk size FFFFFFFF then a little data
  /headerless a body without a status line or header
  /garbage    an unreadable status line
  /stall      Content-Length 1000, 500 bytes, then silence
  /endless    200 without length, zeros streamed until the peer leaves
  /hugelength Content-Length of 8 GB, then zeros until the peer leaves
  /bomb       gzip of 256 MiB of zeros
  /silent     reads the request, never answers
  /slam       resets the connection right after the request's header
  /hangup     ends its side right after the request's header, then resets
  /status     "HTTP/1.1 200 OK" split over single-byte writes, then a body
  /multipart  parses the multipart POST with the email package and compares
              the part "file" to --expect: 200 "MATCH" or 400 "MISMATCH ..."
  /proxy      forwards to --upstream and stalls after 20000 bytes back
  /cut        200 without length, then the connection's end (over TLS: a
              TCP end without the close notification)
"""
import email.parser
import email.policy
import socket
import ssl
import sys
import threading
import time
import zlib

args = sys.argv[1:]
UPSTREAM = int(args[args.index("--upstream") + 1]) if "--upstream" in args else 0
EXPECT = args[args.index("--expect") + 1] if "--expect" in args else None
TLS = None
if "--tls" in args:
    TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    TLS.load_cert_chain(args[args.index("--tls") + 1], args[args.index("--tls") + 2])

_bomb = None


def bomb():
    global _bomb
    if _bomb is None:
        c = zlib.compressobj(9, zlib.DEFLATED, 31)
        zero = bytes(1 << 20)
        _bomb = b"".join(c.compress(zero) for _ in range(256)) + c.flush()
    return _bomb


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return data, b""
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    if head.split(b" ")[1:2] in ([b"/slam"], [b"/hangup"]):
        return head + b"\r\n\r\n", body
    while len(body) < length:
        piece = conn.recv(65536)
        if not piece:
            break
        body += piece
    return head + b"\r\n\r\n", body


def wait_gone(conn):
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def stream(conn, head, piece):
    try:
        conn.sendall(head)
        while True:
            conn.sendall(piece)
    except OSError:
        pass


def multipart(head, body):
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + [l.split(b":", 1)[1].strip() for l in head.split(b"\r\n")
                             if l.lower().startswith(b"content-type:")][0] + b"\r\n\r\n" + body)
    for part in msg.iter_parts():
        if part.get_param("name", header="content-disposition") == "file":
            got = part.get_payload(decode=True)
            want = open(EXPECT, "rb").read()
            if got == want and part.get_filename():
                return b"200 OK", b"MATCH"
            return b"400 Bad", b"MISMATCH %d %d" % (len(got), len(want))
    return b"400 Bad", b"NOFILE"


def proxy(conn, first):
    up = socket.create_connection(("127.0.0.1", UPSTREAM))
    up.sendall(first)

    def upward():
        try:
            while True:
                d = conn.recv(65536)
                if not d:
                    break
                up.sendall(d)
        except OSError:
            pass
    threading.Thread(target=upward, daemon=True).start()
    sent = 0
    try:
        while sent < 20000:
            d = up.recv(min(65536, 20000 - sent))
            if not d:
                break
            conn.sendall(d)
            sent += len(d)
    except OSError:
        pass
    wait_gone(conn)
    up.close()


def serve(conn):
    try:
        if TLS:
            conn = TLS.wrap_socket(conn, server_side=True)
        if UPSTREAM:
            first = conn.recv(65536)
            return proxy(conn, first)
        head, body = read_request(conn)
        path = head.split(b" ")[1] if head.count(b" ") >= 2 else b"/"
        kind = path.strip(b"/").split(b"/")[0].split(b"?")[0].decode()
        ok = b"HTTP/1.1 200 OK\r\n"
        if kind == "short":
            conn.sendall(ok + b"Content-Length: 1000\r\n\r\n" + b"x" * 500)
        elif kind == "chunkcut":
            conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n100\r\n" + b"y" * 50)
        elif kind == "nolast":
            conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")
        elif kind == "hugechunk":
            conn.sendall(ok + b"Transfer-Encoding: chunked\r\n\r\nFFFFFFFF\r\n" + b"z" * 1000)
            wait_gone(conn)
        elif kind == "headerless":
            conn.sendall(b"just a body without any header")
        elif kind == "garbage":
            conn.sendall(b"HTTX/9.9 abc\r\nContent-Length: 2\r\n\r\nhi")
        elif kind == "stall":
            conn.sendall(ok + b"Content-Length: 1000\r\n\r\n" + b"x" * 500)
            wait_gone(conn)
        elif kind == "endless":
            stream(conn, ok + b"Connection: close\r\n\r\n", bytes(1 << 20))
        elif kind == "hugelength":
            stream(conn, ok + b"Content-Length: 8589934592\r\n\r\n", bytes(1 << 20))
        elif kind == "bomb":
            data = bomb()
            conn.sendall(ok + b"Content-Encoding: gzip\r\nContent-Length: %d\r\n\r\n" % len(data) + data)
            wait_gone(conn)
        elif kind == "slam":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        elif kind == "cut":
            conn.sendall(ok + b"Connection: close\r\n\r\n" + b"c" * 100000)
            # Over TLS this drops the TLS layer first: no close notification.
            conn.shutdown(socket.SHUT_WR)
            wait_gone(conn)
        elif kind == "hangup":
            # A client still sending meets the reset in its closing state:
            # the next send fails with EPIPE, which raises SIGPIPE unless
            # the sender asked not to.
            conn.shutdown(socket.SHUT_WR)
            time.sleep(0.3)
        elif kind == "silent":
            wait_gone(conn)
        elif kind == "status":
            for b in ok + b"Content-Length: 5\r\n\r\nslow!":
                conn.sendall(bytes([b]))
        elif kind == "multipart":
            status, text = multipart(head, body)
            conn.sendall(b"HTTP/1.1 " + status + b"\r\nContent-Length: %d\r\n\r\n" % len(text) + text)
        else:
            conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
    except OSError:
        pass
    finally:
        conn.close()


def main():
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(64)
    bomb()
    print("port", srv.getsockname()[1], flush=True)
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


main()
