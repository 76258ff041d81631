#!/usr/bin/env python3
"""Soak driver: runs build-run/emulator on a copy of the demo project with every surface in use
(a panel page open in headless Chromium with its sound on, one DCC-EX and one WiThrottle client
at rest, --record) and feeds its console a drive script in a loop (default: the demo's tour).
Every 10 s it checks that a CV write is answered; every minute it samples resident memory,
threads, open file descriptors and CPU (soak-samples.csv beside the recording). Memory is
also compared like with like: after the first minute and at the end the driver brings the
decoder to rest (speed 0, every function off, slot 1) and samples it there, since what is
playing at a given moment decides much of the resident size. Prints a report at the end; exit
status 1 if the emulator died, stopped answering, or a client or the page lost its connection.

Usage: soak.py ROOT MINUTES [SCRIPT]"""
import atexit, os, re, shutil, signal, subprocess, sys, tempfile, threading, time

import throttle_clients

root, minutes = sys.argv[1], float(sys.argv[2])
script = sys.argv[3] if len(sys.argv) > 3 else os.path.join(root, "demo", "tour.txt")
work = tempfile.mkdtemp(prefix="soak-")
shutil.copytree(os.path.join(root, "demo"), work, dirs_exist_ok=True)
rec = os.path.join(work, "soak.wav")
proc = subprocess.Popen([os.path.join(root, "build-run", "emulator"), "--no-sound", "--record", rec,
                         "--web", "127.0.0.1:0", "--dccex", "127.0.0.1:0", "--withrottle", "127.0.0.1:0"],
                        cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                        text=True, bufsize=1)
children = [proc]  # killed if the driver stops early
atexit.register(lambda: [c.kill() for c in children if c.poll() is None])
lines, lock = [], threading.Lock()
counts = {"E": 0, "W": 0, "I": 0}
problems = []  # the first error and warning lines

def reader():
    for line in proc.stdout:
        with lock:
            lines.append((time.time(), line.rstrip("\n")))
            if line[:2] in ("E ", "W ", "I "):
                counts[line[0]] += 1
                if line[0] in "EW" and len(problems) < 20:
                    problems.append(line.rstrip("\n"))
            if len(lines) > 20000:
                del lines[:10000]

threading.Thread(target=reader, daemon=True).start()

def proc_status():
    info = {}
    try:
        with open(f"/proc/{proc.pid}/status") as f:
            for l in f:
                k, _, v = l.partition(":")
                info[k] = v.strip()
    except OSError:
        pass
    return int(info.get("VmRSS", "0 kB").split()[0]), int(info.get("Threads", "0"))

def wait_line(text, since, timeout):
    end = time.time() + timeout
    while time.time() < end:
        with lock:
            for t, l in reversed(lines):
                if t < since:
                    break
                if text in l:
                    return t
        time.sleep(0.02)
    return None

functions_on = set()  # functions toggled on by the stream (f<n> toggles, m<n> does not)
slot = 1


def send(cmd):
    global slot
    proc.stdin.write(cmd + "\n")
    proc.stdin.flush()
    if cmd.startswith("f"):
        functions_on.symmetric_difference_update({int(cmd[1:])})
    elif cmd.startswith("cv202="):
        slot = int(cmd[6:])


def status():
    """Asks for a status line; returns its fields (timers, tasks, heap, heap_free) or None."""
    t0 = time.time()
    os.kill(proc.pid, signal.SIGUSR1)
    if wait_line("HOST: status", t0, 5) is None:
        return None
    with lock:
        line = [l for tt, l in lines if "HOST: status" in l][-1]
    return dict(f.split("=", 1) for f in line.split() if "=" in f)


def at_rest():
    """Speed 0, every function off, slot 1, then a wait for the last sounds to end; returns
    (resident kB, heap in use kB, heap held free kB)."""
    send("s0")
    for f in sorted(functions_on):
        send("f%d" % f)
    if slot != 1:
        t0 = time.time()
        send("cv202=1")
        wait_line("Slot 1 loaded", t0, 30)
    time.sleep(15)
    st = status() or {}
    return proc_status()[0], int(st.get("heap", "0kB")[:-2]), int(st.get("heap_free", "0kB")[:-2])

def fds():
    try:
        return len(os.listdir(f"/proc/{proc.pid}/fd"))
    except OSError:
        return 0


def cpu_seconds():
    try:
        with open(f"/proc/{proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return 0.0


def drive():
    """The script's commands and waits, in a loop, as (command, None) or (None, seconds), each
    pass opened by (None, None)."""
    steps = []
    with open(script) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("wait "):
                steps.append((None, float(line[5:])))
            else:
                steps.append((line, None))
    while True:
        yield None, None
        yield from steps


assert wait_line("Slot 1 loaded successfully", 0, 30), "the demo did not load"
with lock:
    log = "\n".join(l for _, l in lines)
url = re.search(r"WEB: Panel at (http://\S+)", log).group(1)
dccex = throttle_clients.dccex(int(re.search(r"NET: DCC-EX server at [\d.]+:(\d+)", log).group(1)))
withrottle = throttle_clients.withrottle(int(re.search(r"NET: WiThrottle server at [\d.]+:(\d+)", log).group(1)))
page = subprocess.Popen([os.path.join(root, "tests", "browser", "run"), "bench-page.mjs", url,
                         str(int(minutes * 60))], stdout=subprocess.PIPE, text=True)
children.append(page)
# The first run installs the pinned npm packages, which may say so before the page does.
while (said := page.stdout.readline()) and said.strip() != "ready":
    pass
assert said, "the panel page did not open"

start = time.time()
sent, passes, checks, worst_ms, failures = 0, 0, 0, 0.0, 0
rest_first_minute = None
samples = []  # (minute, resident kB, threads, fds, CPU % of a core over the minute)
rss0, threads0 = proc_status()
status_lines = []
next_check, next_sample, cpu_last = start + 10, start + 60, cpu_seconds()
for cmd, wait in drive():
    if time.time() - start >= minutes * 60 or proc.poll() is not None:
        break
    if cmd is not None:
        send(cmd)
        sent += 1
        continue
    if wait is None:  # the start of a pass: the decoder is where the script leaves it
        passes += 1
        if rest_first_minute is None and time.time() - start >= 60:
            rest_first_minute = at_rest()
            next_sample, cpu_last = time.time() + 60, cpu_seconds()
        continue
    end_wait = time.time() + wait
    while time.time() < end_wait:
        time.sleep(min(0.2, max(0.0, end_wait - time.time())))
        now = time.time()
        if now >= next_check:
            next_check = now + 10
            checks += 1
            value = 100 + checks % 100
            t0 = time.time()
            send("cv260=%d" % value)  # an unused CV: the answer is its log line
            t = wait_line("CV260=%d" % value, t0, 10)
            if t is None:
                failures += 1
            else:
                worst_ms = max(worst_ms, (t - t0) * 1000)
            st = status()
            if st is not None:
                status_lines.append(st)
        if now >= next_sample:
            cpu = cpu_seconds()
            rss, threads = proc_status()
            samples.append((round((now - start) / 60), rss, threads, fds(), 100.0 * (cpu - cpu_last) / (now - next_sample + 60)))
            next_sample, cpu_last = now + 60, cpu

alive = proc.poll() is None
rss1, threads1 = proc_status()
rest_end = at_rest() if alive and rest_first_minute else None
alive = proc.poll() is None
# Both clients and the page must still be served at the end: a WiThrottle client is answered on
# its heartbeat, a DCC-EX client on <s>, the page reports its sound.
clients_ok = True
for c, ask, pattern in ((dccex, "<s>", r"<p[01]"), (withrottle, "*\n", None)):
    with c.lock:
        c.got = b""
    try:
        c.sock.sendall(ask.encode())
    except OSError:
        clients_ok = False
    if pattern:
        time.sleep(2)
        with c.lock:
            clients_ok &= re.search(pattern, c.got.decode(errors="replace")) is not None
with lock:
    dropped = [l for _, l in lines if " disconnected" in l or "dropped" in l]
clients_ok &= not dropped
dccex.close()
withrottle.close()
# The page ends by itself when the drive does and then reports its sound; stopped, it says nothing.
page_out = page.communicate(timeout=300)[0].strip().splitlines()
last_status = " ".join("%s=%s" % kv for kv in status_lines[-1].items()) if status_lines else "none"
if alive:
    proc.send_signal(signal.SIGINT)
    proc.wait(timeout=30)
elapsed = time.time() - start
csv = os.path.join(work, "soak-samples.csv")
with open(csv, "w") as f:
    f.write("minute,rss_kb,threads,fds,cpu_percent\n")
    for m, r, t, d, c in samples:
        f.write(f"{m},{r},{t},{d},{c:.2f}\n")


def span(rows):
    """Median of each sampled figure over the rows (resident kB, threads, fds, CPU %)."""
    if not rows:
        return (0, 0, 0, 0.0)
    return tuple(sorted(r[i] for r in rows)[len(rows) // 2] for i in range(1, 5))


print("\n==== soak report ====")
print(f"duration            {elapsed / 60:.1f} min, the drive {os.path.basename(script)} in a loop "
      f"({passes} passes, {sent} commands), a panel page with sound, a DCC-EX and a WiThrottle client")
print(f"emulator alive      {alive} (exit {proc.returncode})")
print(f"responsiveness      {checks - failures}/{checks} CV writes answered, worst {worst_ms:.0f} ms")
print(f"clients and page    {'still served' if clients_ok else 'LOST: ' + '; '.join(dropped[:3])}; "
      f"page said {page_out[-1] if page_out else 'nothing'}")
for name, rows in (("first 10 min", samples[:10]), ("last 10 min", samples[-10:])):
    r, t, d, c = span(rows)
    print(f"{name:<19} median resident {r} kB, threads {t}, fds {d}, CPU {c:.2f} % of a core")
print(f"over the run        resident {min((s[1] for s in samples), default=0)} .. "
      f"{max((s[1] for s in samples), default=0)} kB, threads {min((s[2] for s in samples), default=0)} .. "
      f"{max((s[2] for s in samples), default=0)}, fds {min((s[3] for s in samples), default=0)} .. "
      f"{max((s[3] for s in samples), default=0)} (every minute: {csv})")
if rest_first_minute and rest_end:
    (r1, h1, f1), (r2, h2, f2) = rest_first_minute, rest_end
    print(f"at rest, 1 min      resident {r1} kB, heap in use {h1} kB, held free {f1} kB")
    print(f"at rest, end        resident {r2} kB, heap in use {h2} kB, held free {f2} kB")
    print(f"                    resident end vs 1 min: {100.0 * (r2 - r1) / r1:+.1f} %, "
          f"heap in use {100.0 * (h2 - h1) / max(h1, 1):+.1f} %")
print(f"threads             start {threads0}, end {threads1}")
print(f"last status         {last_status}")
print(f"log lines           E {counts['E']}, W {counts['W']}, I {counts['I']}")
for p in problems:
    print(f"  {p}")
print(f"recording           {rec} ({os.path.getsize(rec) // 1024} kB)")
ok = alive and failures == 0 and clients_ok
sys.exit(0 if ok else 1)
