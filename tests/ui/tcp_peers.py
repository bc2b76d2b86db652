"""Raw TCP peers on 127.0.0.1 for the window tests. The host pinger's probes connect to them too and
hang up at once, so every connection is served on a thread of its own."""
import socket
import threading
import time


class TcpPeer:
    """Listens on a free port and hands each connection to `_serve`. Subclasses set their own
    attributes before calling this constructor: a connection may arrive at once."""

    def __init__(self, receive_buffer=None):
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(32)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        raise NotImplementedError

    def close(self):
        self.sock.close()


class EchoServer(TcpPeer):
    """Greets and echoes every connection."""

    def _serve(self, conn):
        conn.settimeout(30)
        try:
            conn.sendall("歡迎 echo\r\n".encode())
            while data := conn.recv(4096):
                conn.sendall(data)
        except OSError:
            pass
        conn.close()


class RecordingPeer(TcpPeer):
    """Greets every connection with `greeting` and keeps what arrives, to see what the terminal
    sent; reading can be held back (`reading.clear()`) to make the tab's sending wait."""

    def __init__(self, greeting=b"", receive_buffer=None):
        self.greeting = greeting
        self.received = bytearray()
        self.lock = threading.Lock()
        self.reading = threading.Event()
        self.reading.set()
        super().__init__(receive_buffer)

    def _serve(self, conn):
        conn.settimeout(120)
        try:
            conn.sendall(self.greeting)
            while self.reading.wait(120) and (data := conn.recv(65536)):
                with self.lock:
                    self.received += data
        except OSError:
            pass
        conn.close()

    def data(self):
        with self.lock:
            return bytes(self.received)

    def take(self):
        """What arrived since the last take."""
        with self.lock:
            data = bytes(self.received)
            self.received.clear()
        return data

    def wait_for(self, size, timeout=30):
        deadline = time.monotonic() + timeout
        while len(self.data()) < size and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.data()
