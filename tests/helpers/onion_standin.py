"""A stand-in for the tor daemon, installed as an executable named `tor` by the tests.

`tor --version` answers like Tor. `tor -f FILE` reads FILE (it must say "SocksPort 9050"),
serves a SOCKS5 proxy on 127.0.0.1:9050 and routes CONNECT requests for api.ipify.org:443,
and nothing else, to a local HTTPS server that answers ECHO_ADDRESS as plain text. It dials
no other address. Environment: ONION_STANDIN_DIR holds cert.pem and key.pem and receives
`pids` and `requests`; ONION_STANDIN_REFUSE=1 refuses every request, as a Tor that has not
built its circuits yet does.
"""

import http.server
import os
import socket
import ssl
import struct
import sys
import threading

ECHO_HOST, ECHO_PORT = b"api.ipify.org", 443
ECHO_ADDRESS = b"198.51.100.23"
REFUSED = b"\x05\x02\x00\x01" + bytes(6)  # "connection not allowed by ruleset"


class EchoHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(ECHO_ADDRESS)))
        self.end_headers()
        self.wfile.write(ECHO_ADDRESS)

    def log_message(self, *args):
        pass


def start_echo_server(directory):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), EchoHandler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def receive(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def pump(source, target):
    try:
        while chunk := source.recv(65536):
            target.sendall(chunk)
    except OSError:
        pass
    finally:
        for sock in (source, target):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve_socks(client, echo_port, directory):
    try:
        handle_request(client, echo_port, directory)
    except OSError:  # a client that went away, as the tests' port checks do
        pass
    finally:
        client.close()


def handle_request(client, echo_port, directory):
    _, method_count = receive(client, 2)
    receive(client, method_count)
    client.sendall(b"\x05\x00")  # no authentication
    _, command, _, address_type = receive(client, 4)
    if address_type != 3:  # an address, not a host name: curl was not run with --socks5-hostname
        client.sendall(REFUSED)
        return
    host = receive(client, receive(client, 1)[0])
    port = struct.unpack("!H", receive(client, 2))[0]
    with open(os.path.join(directory, "requests"), "a") as log:
        log.write(f"{command} {host.decode(errors='replace')}:{port}\n")
    if echo_port is None or command != 1 or (host, port) != (ECHO_HOST, ECHO_PORT):
        client.sendall(REFUSED)
        return
    with socket.create_connection(("127.0.0.1", echo_port)) as upstream:
        client.sendall(b"\x05\x00\x00\x01\x7f\x00\x00\x01" + struct.pack("!H", echo_port))
        back = threading.Thread(target=pump, args=(upstream, client), daemon=True)
        back.start()
        pump(client, upstream)
        back.join(10)


def main(argv):
    if argv == ["--version"]:
        print("Tor version 0.4.9.11 (stand-in).")
        return 0
    if len(argv) != 2 or argv[0] != "-f":
        return 1
    with open(argv[1]) as config:
        if "SocksPort 9050\n" not in config.read():
            return 1
    directory = os.environ["ONION_STANDIN_DIR"]
    refuse = os.environ.get("ONION_STANDIN_REFUSE") == "1"
    echo_port = None if refuse else start_echo_server(directory)
    listener = socket.create_server(("127.0.0.1", 9050))
    with open(os.path.join(directory, "pids"), "a") as pids:
        pids.write(f"{os.getpid()}\n")
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve_socks, args=(client, echo_port, directory), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
