"""RFC 2217 test server: pyserial's PortManager in front of a loop:// port.

Listens on 127.0.0.1 with a port the kernel picks, prints "PORT <n>", serves one connection and
logs each COM-port request it applied to standard error.
"""
import logging
import socket
import sys
import threading

import serial
import serial.rfc2217


class Connection:
    """The writer PortManager answers through; the reader thread writes to it too."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def main():
    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    port = serial.serial_for_url("loop://", timeout=0.1, do_not_open=True)
    port.open()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("PORT", listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    writer = Connection(conn)
    manager = serial.rfc2217.PortManager(port, writer, logger=logging.getLogger("rfc2217"))

    def port_to_client():
        while True:
            data = port.read(4096)
            if data:
                writer.write(b"".join(manager.escape(data)))

    threading.Thread(target=port_to_client, daemon=True).start()
    while True:
        data = conn.recv(4096)
        if not data:
            break
        port.write(b"".join(manager.filter(data)))


if __name__ == "__main__":
    main()
