#!/usr/bin/python3
"""A small SSH protocol 1.5 server for tests, written apart from the client it tests.

It listens on 127.0.0.1 on a port the kernel picks and serves each connection on a thread of its
own: version exchange, a 768-bit server key and a 1024-bit host key, inner-CBC triple DES, password
login, then either a real shell on a pseudo-terminal ("shell"), a command (CMSG_EXEC_CMD), or a
scripted echo loop ("echo") whose commands make the server send what tests need.

Everything it sees is written to the events file as JSON lines; the first line names the port and
the host key. --fault switches make it misbehave in one named way.
"""

import argparse
import fcntl
import json
import os
import socket
import struct
import subprocess
import sys
import termios
import threading

from Cryptodome.Cipher import DES
from Cryptodome.Hash import MD5
from Cryptodome.Util.number import getPrime, inverse

MSG_DISCONNECT, SMSG_PUBLIC_KEY, CMSG_SESSION_KEY, CMSG_USER = 1, 2, 3, 4
CMSG_AUTH_PASSWORD, CMSG_REQUEST_PTY, CMSG_WINDOW_SIZE, CMSG_EXEC_SHELL = 9, 10, 11, 12
CMSG_EXEC_CMD, SMSG_SUCCESS, SMSG_FAILURE, CMSG_STDIN_DATA = 13, 14, 15, 16
SMSG_STDOUT_DATA, SMSG_STDERR_DATA, CMSG_EOF, SMSG_EXIT_STATUS = 17, 18, 19, 20
MSG_IGNORE, CMSG_EXIT_CONFIRMATION, MSG_DEBUG = 32, 33, 36
CIPHER_3DES, CIPHER_DES, CIPHER_BLOWFISH, AUTH_PASSWORD = 3, 2, 6, 3
MAX_PACKET = 262144

FAULTS = {
    "wrong-cipher",           # cipher mask without 3DES
    "no-password-auth",       # auth mask without password
    "no-auth-needed",         # CMSG_USER answered with SMSG_SUCCESS
    "bad-crc",                # the first enciphered packet carries a wrong CRC
    "bad-length",             # a length field of MAX_PACKET + 1 instead of the public key
    "debug-after-user",       # MSG_DEBUG in place of the reply to CMSG_USER
    "equal-keys",             # server key as long as the host key
    "silent",                 # accept, then say nothing
    "disconnect-mid-packet",  # half of the public-key packet, then close
}

# --- the SSH-1 CRC (reflected CRC-32 polynomial, start 0, no final inversion) ---

_CRC_TABLE = []
for _n in range(256):
    _c = _n
    for _ in range(8):
        _c = (_c >> 1) ^ 0xEDB88320 if _c & 1 else _c >> 1
    _CRC_TABLE.append(_c)


def crc_ssh1(data):
    crc = 0
    for b in data:
        crc = _CRC_TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc


# --- RSA with our own small keys (the library refuses keys below 1024 bits) ---


class RsaKey:
    def __init__(self, bits):
        while True:
            p, q = getPrime(bits // 2), getPrime(bits - bits // 2)
            n = p * q
            if p != q and n.bit_length() == bits:
                break
        self.e = 65537
        self.n = n
        self.d = inverse(self.e, (p - 1) * (q - 1))
        self.bits = bits
        self.size = (n.bit_length() + 7) // 8

    def unwrap(self, c):
        """PKCS #1 v1.5 type 2 decryption; None when the block is malformed."""
        block = pow(c, self.d, self.n).to_bytes(self.size, "big")
        if block[0:2] != b"\x00\x02":
            return None
        end = block.find(b"\x00", 2)
        if end < 10:
            return None
        return block[end + 1:]


def mp(n):
    return struct.pack(">H", n.bit_length()) + n.to_bytes((n.bit_length() + 7) // 8, "big")


def sstr(b):
    return struct.pack(">I", len(b)) + b


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("payload underrun")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def u32(self):
        return struct.unpack(">I", self.take(4))[0]

    def string(self):
        return self.take(self.u32())

    def mp(self):
        bits = struct.unpack(">H", self.take(2))[0]
        return int.from_bytes(self.take((bits + 7) // 8), "big")


class Closed(Exception):
    pass


class Events:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="utf-8")

    def __call__(self, kind, **fields):
        with self.lock:
            self.file.write(json.dumps(dict(event=kind, **fields)) + "\n")
            self.file.flush()


class Connection:
    """One client: packet framing and ciphers in both directions."""

    def __init__(self, sock, server):
        self.sock, self.server, self.opts = sock, server, server.opts
        self.events = server.events
        self.send_lock = threading.Lock()
        self.enc = self.dec = None
        self.corrupt_next_crc = False

    # -- framing --

    def recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            part = self.sock.recv(n - len(buf))
            if not part:
                raise Closed()
            buf += part
        return buf

    def body(self, ptype, payload):
        length = len(payload) + 5
        pad = 8 - length % 8
        plain = os.urandom(pad) + bytes([ptype]) + payload
        crc = crc_ssh1(plain)
        if self.corrupt_next_crc:
            crc ^= 1
            self.corrupt_next_crc = False
        plain += struct.pack(">I", crc)
        return length, plain

    def send(self, ptype, payload=b""):
        length, plain = self.body(ptype, payload)
        with self.send_lock:
            data = plain
            if self.enc:
                for stage in self.enc:
                    data = stage(data)
            self.sock.sendall(struct.pack(">I", length) + data)

    def read(self):
        length = struct.unpack(">I", self.recv_exact(4))[0]
        if length < 5 or length > MAX_PACKET:
            raise Closed()
        pad = 8 - length % 8
        data = self.recv_exact(length + pad)
        if self.dec:
            for stage in self.dec:
                data = stage(data)
        if struct.unpack(">I", data[-4:])[0] != crc_ssh1(data[:-4]):
            self.events("bad_crc")
            raise Closed()
        return data[pad], data[pad + 1:-4]

    def read_skipping(self):
        while True:
            ptype, payload = self.read()
            if ptype not in (MSG_IGNORE, MSG_DEBUG):
                return ptype, payload
            self.events("skipped", type=ptype)

    def start_ciphers(self, key):
        k1, k2, k3 = key[0:8], key[8:16], key[16:24]

        def stage(k, encrypt):
            c = DES.new(k, DES.MODE_CBC, iv=b"\x00" * 8)
            return c.encrypt if encrypt else c.decrypt

        self.enc = [stage(k1, True), stage(k2, False), stage(k3, True)]
        self.dec = [stage(k3, False), stage(k2, True), stage(k1, False)]

    # -- opening --

    def serve(self):
        reason = "done"
        try:
            self.open_and_login()
            Session(self).run()
        except (Closed, OSError, ValueError) as e:
            reason = type(e).__name__
        finally:
            self.sock.close()
            self.events("closed", reason=reason)

    def open_and_login(self):
        faults = self.opts.fault
        if "silent" in faults:
            self.recv_exact(1 << 20)
        for line in self.opts.banner:
            self.sock.sendall(line.encode() + b"\r\n")
        self.sock.sendall(self.opts.version_line.encode("latin-1") + b"\n")
        client_line = b""
        while not client_line.endswith(b"\n"):
            client_line += self.recv_exact(1)
        self.events("version", line=client_line.decode("latin-1").rstrip("\r\n"))
        self.key_exchange()
        self.login()

    def key_exchange(self):
        faults = self.opts.fault
        skey = self.server.host_key if "equal-keys" in faults else self.server.server_key
        hkey = self.server.host_key
        cookie = os.urandom(8)
        ciphers = (1 << CIPHER_DES) if "wrong-cipher" in faults else (1 << CIPHER_3DES)
        auths = 0 if "no-password-auth" in faults else (1 << AUTH_PASSWORD)
        payload = (cookie + struct.pack(">I", skey.bits) + mp(skey.e) + mp(skey.n) +
                   struct.pack(">I", hkey.bits) + mp(hkey.e) + mp(hkey.n) +
                   struct.pack(">III", 0, ciphers, auths))
        if "bad-length" in faults:
            self.sock.sendall(struct.pack(">I", MAX_PACKET + 1) + b"\x00" * 64)
            self.recv_exact(1)
        if "disconnect-mid-packet" in faults:
            length, plain = self.body(SMSG_PUBLIC_KEY, payload)
            wire = struct.pack(">I", length) + plain
            self.sock.sendall(wire[:len(wire) // 2])
            raise Closed()
        self.send(SMSG_PUBLIC_KEY, payload)

        ptype, body = self.read()
        if ptype != CMSG_SESSION_KEY:
            raise Closed()
        r = Reader(body)
        cipher = r.take(1)[0]
        if r.take(8) != cookie:
            raise Closed()
        wrapped_bits = struct.unpack(">H", r.data[r.pos:r.pos + 2])[0]
        wrapped = r.mp()
        small, large = (skey, hkey) if skey.size < hkey.size else (hkey, skey)
        inner = large.unwrap(wrapped)
        key = small.unwrap(int.from_bytes(inner, "big")) if inner else None
        self.events("session_key", cipher=cipher, bits=wrapped_bits, ok=bool(key))
        if not key or len(key) != 32:
            raise Closed()
        session_id = MD5.new(hkey.n.to_bytes(hkey.size, "big") +
                             skey.n.to_bytes(skey.size, "big") + cookie).digest()
        key = bytes(a ^ b for a, b in zip(key[:16], session_id)) + key[16:]
        self.start_ciphers(key)
        self.corrupt_next_crc = "bad-crc" in faults
        self.send(SMSG_SUCCESS)

    def login(self):
        faults = self.opts.fault
        ptype, body = self.read_skipping()
        if ptype != CMSG_USER:
            raise Closed()
        user = Reader(body).string().decode("utf-8", "replace")
        self.events("user", name=user)
        if "debug-after-user" in faults:
            self.send(MSG_DEBUG, sstr(b"not now"))
        elif "no-auth-needed" in faults:
            self.send(SMSG_SUCCESS)
            return
        else:
            self.send(SMSG_FAILURE)
        while True:
            ptype, body = self.read_skipping()
            if ptype == CMSG_AUTH_PASSWORD:
                sent = Reader(body).string()
                # One client pads its password with NUL bytes to a multiple of 32.
                ok = (user == self.opts.user and
                      sent.rstrip(b"\x00") == self.opts.password.encode())
                self.events("password", ok=ok)
                self.send(SMSG_SUCCESS if ok else SMSG_FAILURE)
                if ok:
                    return
            else:
                self.events("auth_refused", type=ptype)
                self.send(SMSG_FAILURE)


class Session:
    """After login: PTY, shell or command, data both ways, exit status."""

    def __init__(self, conn):
        self.conn, self.events, self.opts = conn, conn.events, conn.opts
        self.pty_size = None
        self.term = "dumb"
        self.child = None
        self.child_in = None
        self.master = None
        self.line = b""

    def run(self):
        handlers = {
            CMSG_REQUEST_PTY: self.request_pty,
            CMSG_WINDOW_SIZE: self.window_size,
            CMSG_EXEC_SHELL: lambda body: self.start(None),
            CMSG_EXEC_CMD: lambda body: self.start(Reader(body).string().decode()),
            CMSG_STDIN_DATA: self.stdin,
            CMSG_EOF: self.eof,
        }
        while True:
            ptype, body = self.conn.read()
            if ptype == CMSG_EXIT_CONFIRMATION:
                self.events("exit_confirmation")
                return
            if ptype == MSG_DISCONNECT:
                self.events("disconnect")
                return
            if ptype in (MSG_IGNORE, MSG_DEBUG):
                continue
            handler = handlers.get(ptype)
            if handler:
                handler(body)
            else:
                self.events("refused", type=ptype)
                self.conn.send(SMSG_FAILURE)

    def request_pty(self, body):
        r = Reader(body)
        self.term = r.string().decode()
        rows, cols, xpix, ypix = r.u32(), r.u32(), r.u32(), r.u32()
        modes = r.data[r.pos:]
        self.pty_size = (rows, cols)
        self.events("pty", term=self.term, rows=rows, cols=cols, xpix=xpix, ypix=ypix,
                    modes=modes.hex())
        self.conn.send(SMSG_SUCCESS)

    def window_size(self, body):
        r = Reader(body)
        rows, cols, xpix, ypix = r.u32(), r.u32(), r.u32(), r.u32()
        self.events("window_size", rows=rows, cols=cols, xpix=xpix, ypix=ypix)
        self.pty_size = (rows, cols)
        if self.master is not None:
            fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))

    def stdin(self, body):
        data = Reader(body).string()
        self.events("stdin", length=len(data))
        if self.opts.mode == "echo" and self.child is None:
            self.echo_input(data)
        elif self.child_in is not None:
            os.write(self.child_in, data)

    def eof(self, body):
        if self.child_in is not None and self.master is None:
            os.close(self.child_in)
            self.child_in = None

    # -- a real program --

    def start(self, command):
        self.events("exec", command=command)
        if self.opts.mode == "echo" and command is None:
            self.output(b"ready\r\n")
            return
        argv = ["/bin/sh", "-c", command] if command else ["/bin/sh", "-i"]
        env = {"PATH": "/usr/bin:/bin", "HOME": "/tmp", "TERM": self.term, "PS1": "$ "}
        if self.pty_size:
            self.master, slave = os.openpty()
            rows, cols = self.pty_size
            fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
            self.child = subprocess.Popen(["/usr/bin/setsid", "-c"] + argv, stdin=slave,
                                          stdout=slave, stderr=slave, env=env, close_fds=True)
            os.close(slave)
            self.child_in = self.master
            streams = [(self.master, SMSG_STDOUT_DATA)]
        else:
            self.child = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, env=env, close_fds=True)
            self.child_in = os.dup(self.child.stdin.fileno())
            self.child.stdin.close()
            streams = [(self.child.stdout.fileno(), SMSG_STDOUT_DATA),
                       (self.child.stderr.fileno(), SMSG_STDERR_DATA)]
        threads = [threading.Thread(target=self.pump, args=s, daemon=True) for s in streams]
        for t in threads:
            t.start()
        threading.Thread(target=self.reap, args=(threads,), daemon=True).start()

    def pump(self, fd, ptype):
        while True:
            try:
                data = os.read(fd, 4096)
            except OSError:  # a pseudo-terminal whose last user left
                return
            if not data:
                return
            self.conn.send(ptype, sstr(data))

    def reap(self, threads):
        status = self.child.wait()
        for t in threads:
            t.join()
        self.events("child_exit", status=status)
        self.conn.send(SMSG_EXIT_STATUS, struct.pack(">I", status & 0xFFFFFFFF))

    # -- the scripted echo loop --

    def output(self, data, ptype=SMSG_STDOUT_DATA):
        self.conn.send(ptype, sstr(data))

    def echo_input(self, data):
        self.output(data)
        self.line += data
        while b"\r" in self.line or b"\n" in self.line:
            cut = min(i for i in (self.line.find(b"\r"), self.line.find(b"\n")) if i >= 0)
            command, self.line = self.line[:cut].strip(), self.line[cut + 1:]
            self.echo_command(command.decode("utf-8", "replace"))

    def echo_command(self, command):
        words = command.split()
        if not words:
            return
        if words[0] == "big":  # one packet of 10000 bytes
            self.output(bytes((i % 251) for i in range(10000)))
        elif words[0] == "ignore":  # output behind a MSG_IGNORE
            self.conn.send(MSG_IGNORE, sstr(b"x" * 40))
            self.output(b"ok")
        elif words[0] == "stderr":
            self.output(b"ERR", SMSG_STDERR_DATA)
        elif words[0] == "exit":
            self.output(b"bye\r\n")
            self.conn.send(SMSG_EXIT_STATUS, struct.pack(">I", int(words[1])))
        elif words[0] == "disconnect":
            self.conn.send(MSG_DISCONNECT, sstr(b"server says bye"))
        elif words[0] == "stall":  # stop reading: the client's sends pile up
            self.events("stalled")
            threading.Event().wait()


class Server:
    def __init__(self, opts):
        self.opts = opts
        self.events = Events(opts.events)
        self.host_key = RsaKey(opts.host_key_bits)
        self.server_key = RsaKey(opts.server_key_bits)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)

    def announce(self):
        h = self.host_key
        n, e = h.n.to_bytes(h.size, "big"), h.e.to_bytes((h.e.bit_length() + 7) // 8, "big")
        ne = MD5.new(n + e).hexdigest()
        self.events("listening", port=self.listener.getsockname()[1], host_key_bits=h.bits,
                    host_key_md5=MD5.new(n).hexdigest(),
                    # PuTTY's form: MD5 over modulus and exponent, colon-separated
                    host_key_md5_ne=":".join(ne[i:i + 2] for i in range(0, 32, 2)))

    def run(self):
        self.announce()
        while True:
            sock, _ = self.listener.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=Connection(sock, self).serve, daemon=True).start()


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--events", required=True, help="file the server appends JSON lines to")
    p.add_argument("--mode", choices=["shell", "echo"], default="shell")
    p.add_argument("--user", default="tester")
    p.add_argument("--password", default="secret")
    p.add_argument("--version-line", default="SSH-1.5-TestServer_1.0")
    p.add_argument("--banner", action="append", default=[], help="a line before the version")
    p.add_argument("--fault", action="append", default=[], choices=sorted(FAULTS))
    p.add_argument("--server-key-bits", type=int, default=768)
    p.add_argument("--host-key-bits", type=int, default=1024)
    Server(p.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
