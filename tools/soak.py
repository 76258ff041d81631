#!/usr/bin/env python3
"""Soak driver: runs build-run/emulator on a copy of the demo project and feeds it a random stream
of console commands; every 10 s it asks for a status line (SIGUSR1) and checks that a CV write
is answered. Memory is compared like with like: after the first minute and at the end the
driver brings the decoder to rest (speed 0, every function off, slot 1) and samples it there,
since what is playing at a given moment decides much of the resident size. Prints a report at
the end; exit status 1 if the emulator died or stopped answering."""
import os, random, shutil, signal, subprocess, sys, tempfile, threading, time

root, minutes = sys.argv[1], float(sys.argv[2])
work = tempfile.mkdtemp(prefix="soak-")
shutil.copytree(os.path.join(root, "demo"), work, dirs_exist_ok=True)
rec = os.path.join(work, "soak.wav")
proc = subprocess.Popen([os.path.join(root, "build-run", "emulator"), "--no-sound", "--record", rec],
                        cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                        text=True, bufsize=1)
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

rng = random.Random(1234)
commands = ["s%d" % v for v in (0, 10, 20, 30, 40, 50, 60, 80, 100)] + ["s-31", "s-61"]
commands += ["f%d" % f for f in (0, 1, 1, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12)] + ["m2", "m4", "m5", "m8"]
commands += ["estop", "cv203=200", "cv203=255", "cv204=20", "cv204=35", "cv192=2", "cv193=60", "cv193=100"]

assert wait_line("Slot 1 loaded successfully", 0, 30), "the demo did not load"
start = time.time()
sent, slot_switches, checks, worst_ms, failures = 0, 0, 0, 0.0, 0
rest_first_minute = None
rss_samples = []
rss0, threads0 = proc_status()
status_lines = []
next_check = start + 10
while time.time() - start < minutes * 60 and proc.poll() is None:
    if rng.random() < 0.01:
        cmd = "cv202=%d" % rng.choice((1, 2))
        slot_switches += 1
    else:
        cmd = rng.choice(commands)
    send(cmd)
    sent += 1
    time.sleep(rng.uniform(0.05, 1.5))
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
        rss_samples.append(proc_status()[0])
        if rest_first_minute is None and now - start >= 60:
            rest_first_minute = at_rest()

alive = proc.poll() is None
rss1, threads1 = proc_status()
rest_end = at_rest() if alive and rest_first_minute else None
alive = proc.poll() is None
last_status = " ".join("%s=%s" % kv for kv in status_lines[-1].items()) if status_lines else "none"
if alive:
    proc.send_signal(signal.SIGINT)
    proc.wait(timeout=30)
elapsed = time.time() - start
print("\n==== soak report ====")
print(f"duration            {elapsed / 60:.1f} min")
print(f"commands sent       {sent} (slot switches {slot_switches})")
print(f"emulator alive      {alive} (exit {proc.returncode})")
print(f"responsiveness      {checks - failures}/{checks} CV writes answered, worst {worst_ms:.0f} ms")
print(f"resident memory     start {rss0} kB, end {rss1} kB while playing; over the run "
      f"{min(rss_samples, default=0)} .. {max(rss_samples, default=0)} kB")
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
ok = alive and failures == 0
sys.exit(0 if ok else 1)
