"""Network throttles for the bench and the soak, as the programs people own behave at rest: a
DCC-EX client that starts as JMRI does and polls the status, a WiThrottle client that starts as
Engine Driver does, acquires the decoder and keeps the heartbeat."""
import re, socket, sys, threading, time


class ThrottleClient:
    """A network throttle at rest: connects, says what its program says at start-up, then sends
    `beat` every `period` seconds until stopped, and reads whatever comes back."""

    def __init__(self, port, hello, beat, period):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.settimeout(None)
        self.got, self.lock, self.done = b"", threading.Lock(), threading.Event()
        self.period = period
        threading.Thread(target=self._read, daemon=True).start()
        for line in hello:
            if callable(line):
                line = line(self)
            self.sock.sendall(line.encode())
        threading.Thread(target=self._beat, args=(beat,), daemon=True).start()

    def _read(self):
        while True:
            try:
                b = self.sock.recv(4096)
            except OSError:
                return
            if not b:
                return
            with self.lock:
                self.got += b

    def _beat(self, beat):
        while not self.done.wait(self.period):
            try:
                self.sock.sendall(beat.encode())
            except OSError:
                return

    def wait_for(self, pattern, timeout=10):
        end = time.time() + timeout
        while time.time() < end:
            with self.lock:
                m = re.search(pattern, self.got.decode(errors="replace"))
            if m:
                return m
            time.sleep(0.05)
        sys.exit(f"no {pattern!r} from the network server")

    def close(self):
        self.done.set()
        self.sock.close()


def dccex(port):
    """Starts as JMRI does (<s>, <#>), then polls <s> every 5 s."""
    c = ThrottleClient(port, ["<s>", "<#>"], "<s>", 5)
    c.wait_for(r"<# \d+>")
    return c


def withrottle(port):
    """Starts as Engine Driver does, acquires the decoder's address, turns heartbeat monitoring on
    and beats at 80 % of the interval the server gives."""

    def acquire(c):
        addr = c.wait_for(r"RL1\]\\\[[^}]*\}\|\{(\d+)\}\|\{([SL])").groups()
        c.period = 0.8 * int(c.wait_for(r"\*(\d+)").group(1))
        return f"M0+{addr[1]}{addr[0]}<;>{addr[1]}{addr[0]}\n*+\n"

    c = ThrottleClient(port, ["NBench\nHUbench-client\n", acquire], "*\n", 8)
    c.wait_for(r"M0\+[SL]\d+<;>")
    return c
