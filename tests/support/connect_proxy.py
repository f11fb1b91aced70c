"""A CONNECT proxy for the tests, standard library only.

It tunnels each CONNECT to the host and port asked for or, with --divert HOST:PORT, to that
address instead: a proxy that intercepts TLS and presents a certificate of its own. It writes its
port to --port-file once it listens, and one line per CONNECT ("CONNECT host:port") to --log.
Only loopback: it listens on 127.0.0.1 and tunnels nowhere else."""
import argparse
import os
import select
import socket
import socketserver
import threading

lock = threading.Lock()


class Tunnel(socketserver.BaseRequestHandler):
    def handle(self):
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            head += chunk
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split()
        if len(parts) != 3 or parts[0] != "CONNECT":
            self.request.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            return
        with lock, open(self.server.log, "a") as log:
            log.write("CONNECT %s\n" % parts[1])
        host, port = (self.server.divert or parts[1]).rsplit(":", 1)
        if host not in ("127.0.0.1", "localhost"):
            self.request.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
            return
        try:
            upstream = socket.create_connection((host, int(port)), timeout=10)
        except OSError:
            self.request.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        rest = head.split(b"\r\n\r\n", 1)[1]
        if rest:
            upstream.sendall(rest)
        sockets = [self.request, upstream]
        try:
            while True:
                ready, _, _ = select.select(sockets, [], [], 60)
                if not ready:
                    return
                for source in ready:
                    data = source.recv(65536)
                    if not data:
                        return
                    (upstream if source is self.request else self.request).sendall(data)
        except OSError:
            return
        finally:
            upstream.close()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--divert")
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Tunnel)
    server.log = args.log
    server.divert = args.divert
    open(args.log, "a").close()
    with open(args.port_file + ".tmp", "w") as out:
        out.write(str(server.server_address[1]))
    os.rename(args.port_file + ".tmp", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
