#!/usr/bin/env python3
"""tls-peer.py ROOT CERTS LOG NAME:PORT...

TLS servers on loopback for what lighttpd cannot be made to do: each NAME on its own port. A
name with a certificate file CERTS/NAME.pem (certificate, the chain it sends, key) serves with
it, any other with CERTS/good.pem. Files come from ROOT by the request's path; LOG gets a line
per event the tests look for.
  tls13         accepts TLS 1.3 only
  oldtls        offers TLS 1.0 at most
  truncate      a body without a length, then the connection cut without a close notice
  truncatehead  part of the header, then the same cut
  reset         a body without a length, then a reset
  notify        a body without a length, then its close notice; waits for the client's
  flood         answers the client's hello with an endless run of handshake records
  aia           plain HTTP: serves CERTS/inter.crt to anyone who fetches it (logged)
"""
import os
import socket
import ssl
import struct
import sys
import threading
import time

root, certs, logname = sys.argv[1:4]
lock = threading.Lock()


def log(line):
    with lock, open(logname, "a") as f:
        f.write(line + "\n")


def context(name):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.set_ciphers("DEFAULT:@SECLEVEL=0")  # weak keys and old protocols are what some names test
    if name == "tls13":
        ctx.minimum_version = ssl.TLSVersion.TLSv1_3
    if name == "oldtls":
        ctx.minimum_version = ssl.TLSVersion.TLSv1
        ctx.maximum_version = ssl.TLSVersion.TLSv1
    pem = os.path.join(certs, name + ".pem")
    ctx.load_cert_chain(pem if os.path.exists(pem) else os.path.join(certs, "good.pem"))
    return ctx


def read_request(s):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data.split(b" ")[1].decode("latin-1")


def flood(conn):
    conn.recv(65536)  # the client's hello
    record = b"\x16\x03\x03\x40\x00" + b"\x00\x00\x00\x00" * 4096  # hello requests, 16 KiB a record
    for _ in range(4096):  # 64 MiB at most
        conn.sendall(record)


def serve_aia(conn):
    path = read_request(conn)
    log("aia: GET %s" % path)
    with open(os.path.join(certs, "inter.crt"), "rb") as f:
        body = f.read()
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)


def handle(conn, name, ctx):
    try:
        conn.settimeout(60)
        if name == "flood":
            return flood(conn)
        if name == "aia":
            return serve_aia(conn)
        s = ctx.wrap_socket(conn, server_side=True)
        path = read_request(s)
        if path is None:
            return
        try:
            with open(os.path.join(root, path.lstrip("/")), "rb") as f:
                body = f.read()
        except OSError:
            s.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            return s.unwrap()
        if name == "truncatehead":
            s.sendall(b"HTTP/1.0 200 OK\r\nContent-Le")
        elif name in ("truncate", "reset", "notify"):
            s.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + body)
        else:
            s.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        if name in ("truncate", "truncatehead"):
            raw = socket.socket(fileno=s.detach())  # as an attacker on the path: the TCP end, no close notice
            raw.shutdown(socket.SHUT_RDWR)
            raw.close()
        elif name == "reset":
            time.sleep(0.5)  # the bytes reach the client before the reset
            raw = socket.socket(fileno=s.detach())
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raw.close()
        elif name == "notify":
            s.unwrap()  # sends the close notice and returns once the client's has come
            log("notify: the client's close notice came")
        else:
            s.unwrap()
    except Exception as e:  # noqa: BLE001 - logged for the tests, the server goes on
        log("%s: %s" % (name, e))
    finally:
        conn.close()


def serve(name, server, ctx):
    while True:
        conn, _ = server.accept()
        threading.Thread(target=handle, args=(conn, name, ctx), daemon=True).start()


# Every port is bound and every certificate loaded before any is served: what cannot be had
# ends the peer at once.
servers = []
for arg in sys.argv[4:]:
    name, port = arg.split(":")
    server = socket.socket()
    server.bind(("127.0.0.1", int(port)))
    server.listen(16)
    servers.append((name, server, None if name in ("flood", "aia") else context(name)))
threads = [threading.Thread(target=serve, args=s, daemon=True) for s in servers]
for t in threads:
    t.start()
for t in threads:
    t.join()
