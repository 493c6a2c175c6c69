"""FTP server and the faulty HTTP(S) servers of a simulated recorder run.

Started by setup.sh inside the run's network namespace with /usr/bin/python3.
Environment (set by devsim): DEVSIM_SERVE (served directory), DEVSIM_FTP_USER,
DEVSIM_FTP_PASS, DEVSIM_HAS_FTP, DEVSIM_PY_HTTP (1: serve HTTP/HTTPS here
instead of nginx), DEVSIM_HAS_HTTP, DEVSIM_HAS_HTTPS, DEVSIM_HTTP_MODE
(stall | nolength | 404 | reset), DEVSIM_HTTP_STALL (byte offset of the stall
or the reset), DEVSIM_TFTP_DIE (serve TFTP here: it dies after that many bytes),
DEVSIM_FTP_MODE (stall: download requests get no answer),
DEVSIM_CA (directory with server.crt and server.key).
"""

import os
import sys
import threading
import time

sys.path.append("/usr/lib/python3/dist-packages")
# pyftpdlib probes for pyOpenSSL, which is slow to import and not needed.
sys.modules["OpenSSL"] = None

SERVE = os.environ["DEVSIM_SERVE"]
MODE = os.environ.get("DEVSIM_HTTP_MODE", "normal")
STALL_AT = int(os.environ.get("DEVSIM_HTTP_STALL", "0"))
STALLED = []  # the stall happens once; the resumed request gets the rest


def start_http(port, tls):
    import http.server
    import socketserver
    import ssl
    import urllib.parse

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            sys.stderr.write("http %d: %s\n" % (port, fmt % args))

        def do_GET(self):
            if MODE == "404":
                body = b"<html><body>404 Not Found</body></html>\n"
                self.send_response(404)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                return
            # The request path is URL-encoded (a space is %20), as nginx takes it.
            name = urllib.parse.unquote(self.path.split("?")[0]).lstrip("/")
            path = os.path.join(SERVE, name)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                self.send_error(404)
                return
            start = 0
            rng = self.headers.get("Range", "")
            if rng.startswith("bytes=") and rng[6:].split("-")[0].isdigit():
                start = int(rng[6:].split("-")[0])
            if MODE == "nolength":
                # No length announced: the body ends when the connection closes.
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(data[start:])
                self.close_connection = True
                return
            if start:
                self.send_response(206)
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
            else:
                self.send_response(200)
            self.send_header("Content-Length", str(len(data) - start))
            self.end_headers()
            if MODE == "stall" and not STALLED and start <= STALL_AT < len(data):
                STALLED.append(start)
                # Send up to the stall offset, then nothing until the client gives up.
                self.wfile.write(data[start:STALL_AT])
                self.wfile.flush()
                time.sleep(3600)  # the client's low-speed limit ends the transfer
                return
            if MODE == "reset" and start <= STALL_AT < len(data):
                # Up to the offset, then a reset (RST) instead of the rest.
                import socket
                import struct
                self.wfile.write(data[start:STALL_AT])
                self.wfile.flush()
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.connection.close()
                self.close_connection = True
                return
            self.wfile.write(data[start:])

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True
        allow_reuse_address = True

    srv = Server(("127.0.0.1", port), Handler)
    if tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ca = os.environ["DEVSIM_CA"]
        ctx.load_cert_chain(os.path.join(ca, "server.crt"), os.path.join(ca, "server.key"))
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    threading.Thread(target=srv.serve_forever, daemon=True).start()


def start_tftp(die_at):
    """A TFTP server (read requests only) that dies after die_at bytes: from
    then on it answers nothing, neither the running transfer nor new ones."""
    import socket

    dead = []
    srv = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    srv.bind(("127.0.0.1", 69))

    def send(name, peer):
        t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        t.bind(("127.0.0.1", 0))
        t.settimeout(1)
        try:
            with open(os.path.join(SERVE, name), "rb") as f:
                data = f.read()
        except OSError:
            t.sendto(b"\0\5\0\1not found\0", peer)
            return
        block = 1
        while True:
            at = (block - 1) * 512
            if at >= die_at:
                sys.stderr.write("tftp: died after %d bytes\n" % at)
                dead.append(at)
                return
            pkt = b"\0\3" + (block & 0xFFFF).to_bytes(2, "big") + data[at : at + 512]
            for _ in range(5):
                t.sendto(pkt, peer)
                try:
                    ack, _ = t.recvfrom(516)
                except socket.timeout:
                    continue
                if ack[:2] == b"\0\4" and int.from_bytes(ack[2:4], "big") == block & 0xFFFF:
                    break
            else:
                return
            if len(pkt) < 516:
                return
            block += 1

    def serve():
        while True:
            pkt, peer = srv.recvfrom(2048)
            if dead or pkt[:2] != b"\0\1":
                continue
            name = pkt[2:].split(b"\0")[0].decode("utf-8", "replace").lstrip("/")
            threading.Thread(target=send, args=(name, peer), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()


def start_ftp():
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    import logging

    logging.basicConfig(level=logging.WARNING)
    auth = DummyAuthorizer()
    auth.add_user(os.environ["DEVSIM_FTP_USER"], os.environ["DEVSIM_FTP_PASS"], SERVE, perm="elr")
    class Handler(FTPHandler):
        def ftp_RETR(self, file):
            if os.environ.get("DEVSIM_FTP_MODE") == "stall":
                return None  # no reply: the client waits until it is killed
            return FTPHandler.ftp_RETR(self, file)

    handler = Handler
    handler.authorizer = auth
    handler.passive_ports = range(30000, 30100)
    handler.auth_failed_timeout = 0.1  # quick failures for wrong-login tests
    srv = FTPServer(("127.0.0.1", 21), handler)
    threading.Thread(target=srv.serve_forever, daemon=True).start()


def main():
    if os.environ.get("DEVSIM_PY_HTTP") == "1":
        if os.environ.get("DEVSIM_HAS_HTTP") == "1":
            start_http(80, False)
        if os.environ.get("DEVSIM_HAS_HTTPS") == "1":
            start_http(443, True)
    if os.environ.get("DEVSIM_HAS_FTP") == "1":
        start_ftp()
    if int(os.environ.get("DEVSIM_TFTP_DIE", "0")) > 0:
        start_tftp(int(os.environ["DEVSIM_TFTP_DIE"]))
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
