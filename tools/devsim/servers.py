"""FTP server and the faulty HTTP(S) servers of a simulated recorder run.

Started by setup.sh inside the run's network namespace with /usr/bin/python3.
Environment (set by devsim): DEVSIM_SERVE (served directory), DEVSIM_FTP_USER,
DEVSIM_FTP_PASS, DEVSIM_HAS_FTP, DEVSIM_PY_HTTP (1: serve HTTP/HTTPS here
instead of nginx), DEVSIM_HAS_HTTP, DEVSIM_HAS_HTTPS, DEVSIM_HTTP_MODE
(stall | nolength | 404), DEVSIM_HTTP_STALL (byte offset of the stall),
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
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
