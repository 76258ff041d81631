#!/usr/bin/env python3
"""Whole-process figures of the emulator, measured from outside: CPU time (all threads, from
/proc/<pid>/stat) per second of wall time and resident memory in four states, the pacing of
the sound output without a device (seconds of audio in the --record file per second of wall
time), the CPU added by a panel page (--web) and by network throttles (--dccex, --withrottle),
and the speed of a render in simulated time (the demo's tour, on one core). Then the report:
these figures with the benchmark JSON files, into report.txt.

Usage: bench_process.py ROOT OUT_DIR   (BENCH_ONLY=net and the like: some parts alone)"""
import json, os, re, resource, shutil, subprocess, sys, tempfile, threading, time

import throttle_clients

root, out_dir = sys.argv[1], sys.argv[2]
emulator = os.path.join(root, "build-bench", "emulator")
RATE = 32000
CLK = os.sysconf("SC_CLK_TCK")
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "60"))
STATE_SECONDS = float(os.environ.get("BENCH_STATE_SECONDS", "20"))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3): utime and stime are fields 14 and 15.
    return (int(fields[11]) + int(fields[12])) / CLK


def wakeups(pid):
    """Context switches so far of every thread of the process, summed per thread name (the reader
    tasks "wav0".."wav99" as "wav#"): each is a wake-up of that thread, or a preemption."""
    counts = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = re.sub(r"\d+$", "#", f.read().strip())
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                text = f.read()
        except OSError:
            continue  # a reader task that ended meanwhile
        n = sum(int(m) for m in re.findall(r"^(?:non)?voluntary_ctxt_switches:\s+(\d+)", text, re.M))
        counts[name] = counts.get(name, 0) + n
    return counts


def status(pid):
    info = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            info[k] = v.strip()
    return int(info["VmRSS"].split()[0]), int(info["Threads"])


class Emulator:
    def __init__(self, folder, rec, extra=()):
        self.rec = rec
        self.proc = subprocess.Popen([emulator, "--no-sound", "--record", rec, *extra], cwd=folder,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines, self.lock = [], threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def wait_for(self, text, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            with self.lock:
                if any(text in l for l in self.lines):
                    return True
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        return False

    def send(self, *cmds):
        for c in cmds:
            self.proc.stdin.write(c + "\n")
        self.proc.stdin.flush()

    def find(self, pattern):
        with self.lock:
            for l in self.lines:
                m = re.search(pattern, l)
                if m:
                    return m
        return None

    def count(self, text):
        with self.lock:
            return sum(text in l for l in self.lines)

    def errors(self):
        with self.lock:
            return [l for l in self.lines if l.startswith("E ")]

    def rec_size(self):
        try:
            return os.path.getsize(self.rec)
        except OSError:
            return 0

    def next_write(self):
        """Waits for the recording to grow; the moment it did and its new size."""
        s0 = self.rec_size()
        end = time.time() + 5
        while time.time() < end:
            s = self.rec_size()
            if s != s0:
                return time.monotonic(), s
            time.sleep(0.001)
        return time.monotonic(), s0

    def measure(self, seconds):
        """CPU share of one core, resident memory and pacing over `seconds` of wall time. The
        window starts and ends on a write to the recording, so pacing is not off by a buffer.
        The CPU share is also taken over 5 s slices of the window: their range shows the noise."""
        t0, s0 = self.next_write()
        c0 = cpu_seconds(self.proc.pid)
        w0 = wakeups(self.proc.pid)
        slices, ts, cs = [], t0, c0
        while time.monotonic() - t0 < seconds - 5.05:
            time.sleep(5 - (time.monotonic() - ts))
            t, c = time.monotonic(), cpu_seconds(self.proc.pid)
            slices.append(100 * (c - cs) / (t - ts))
            ts, cs = t, c
        time.sleep(max(0.0, seconds - 0.1 - (time.monotonic() - t0)))
        t1, s1 = self.next_write()
        c1 = cpu_seconds(self.proc.pid)
        w1 = wakeups(self.proc.pid)
        if t1 - ts > 1:
            slices.append(100 * (c1 - cs) / (t1 - ts))
        rss, threads = status(self.proc.pid)
        wall = t1 - t0
        return {"wall_s": round(wall, 3), "cpu_s": round(c1 - c0, 3),
                "cpu_pct_of_core": round(100 * (c1 - c0) / wall, 2),
                "cpu_pct_slices": [round(x, 2) for x in slices],
                "rss_mib": round(rss / 1024, 1), "threads": threads,
                "audio_s": round((s1 - s0) / 2 / RATE, 3),
                "pacing": round((s1 - s0) / 2 / RATE / wall, 5),
                # Threads that ended within the window count from 0; the main thread (the tick
                # loop) carries the program's name.
                "wakeups_per_s": {("tick" if k == "emulator" else k): round((v - w0.get(k, 0)) / wall, 1)
                                  for k, v in sorted(w1.items())}}

    def stop(self):
        self.proc.send_signal(2)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def sox(*args):
    subprocess.run(["sox", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def project(folder, loops, ons, on_seconds):
    """A slot-1 project: `loops` ADPCM loops on F0.., `ons` long Ogg ON sounds on F0.."""
    d = os.path.join(folder, "data", "1")
    os.makedirs(d)
    with open(os.path.join(folder, "slot.txt"), "w") as f:
        f.write("1\n")
    loop = os.path.join(folder, "loop.wav")
    on = os.path.join(folder, "on.ogg")
    sox("-n", "-r", str(RATE), "-c", "1", "-e", "ima-adpcm", loop, "synth", "10", "pinknoise", "mix", "sine",
        "200-2000", "vol", "0.3")
    if ons:
        sox("-n", "-r", str(RATE), "-c", "1", on, "synth", str(on_seconds), "pinknoise", "mix", "sine",
            "300-900", "vol", "0.3")
    for f in range(loops):
        shutil.copy(loop, os.path.join(d, f"F{f}_LOOP.wav"))
    for f in range(ons):
        shutil.copy(on, os.path.join(d, f"F{f}_ON.ogg"))
    os.remove(loop)
    if ons:
        os.remove(on)


def measure_states(work, results, notes):
    """The emulator in four states, one process per project."""
    # 1 and 2: the demo, idle with the slot loaded, then with the engine idling.
    demo = os.path.join(work, "demo")
    shutil.copytree(os.path.join(root, "demo"), demo)
    e = Emulator(demo, os.path.join(work, "demo.wav"))
    if not e.wait_for("Slot 1 loaded", 60):
        sys.exit("bench: the demo did not load")
    time.sleep(2)
    results["demo_idle"] = e.measure(IDLE_SECONDS)
    e.send("f1")
    time.sleep(8)  # engine start, then the idle loop
    results["engine_idle"] = e.measure(STATE_SECONDS)
    e.stop()

    # 3: 16 looping tracks on F0..F15, all on.
    measure_all_on(work, results, "loops16", 16, 0, 0)
    # 4: 100 files: 69 loops on F0..F68 and 31 long ON sounds on F0..F30, all functions on.
    # A function plays one track at a time (its ON, then its LOOP), so 69 sound at once.
    errs = measure_all_on(work, results, "tracks100", 69, 31, STATE_SECONDS + 15)
    if errs:
        notes.append("100-file run error lines: " + "; ".join(errs[:5]))


def measure_all_on(work, results, name, loops, ons, on_seconds):
    """A project of `loops` LOOP files (and `ons` ON files) with every function on; returns the
    run's error lines."""
    path = os.path.join(work, name)
    project(path, loops, ons, on_seconds)
    e = Emulator(path, os.path.join(work, name + ".wav"))
    if not e.wait_for("Slot 1 loaded", 60):
        sys.exit(f"bench: the project {name} did not load")
    time.sleep(1)
    e.send(*[f"f{f}" for f in range(loops)])
    time.sleep(3)
    results[name] = e.measure(STATE_SECONDS)
    results[name]["tracks_started"] = e.count("AUDIO_TRACK: Play")
    errs = e.errors()
    e.stop()
    return errs


def measure_web(work, results, notes):
    """The demo idle with the web panel (--web): first with no page open, then with one page
    open in headless Chromium with its sound on (tests/browser/bench-page.mjs), in the same
    process. The page reports how far behind the decoder its sound is heard."""
    demo = os.path.join(work, "web")
    shutil.copytree(os.path.join(root, "demo"), demo)
    e = Emulator(demo, os.path.join(work, "web.wav"), ["--web", "127.0.0.1:0"])
    if not e.wait_for("Slot 1 loaded", 60):
        sys.exit("bench: the demo did not load with --web")
    url = e.find(r"WEB: Panel at (http://\S+)").group(1)
    time.sleep(2)
    results["web_no_page"] = e.measure(IDLE_SECONDS)
    page = subprocess.Popen([os.path.join(root, "tests", "browser", "run"), "bench-page.mjs", url,
                             str(int(IDLE_SECONDS + 20))], stdout=subprocess.PIPE, text=True)
    if page.stdout.readline().strip() != "ready":
        page.kill()
        sys.exit("bench: the panel page did not open")
    time.sleep(3)
    results["web_page"] = e.measure(IDLE_SECONDS)
    out = page.communicate(timeout=IDLE_SECONDS + 120)[0].strip().splitlines()
    try:
        results["web_page"]["sound"] = json.loads(out[-1])
    except (IndexError, ValueError):
        notes.append("the panel page reported no sound figures")
    errs = e.errors()
    e.stop()
    if errs:
        notes.append("--web run error lines: " + "; ".join(errs[:5]))


def measure_net(work, results, notes):
    """The demo idle with both network servers (--dccex, --withrottle): first with no client, then
    with one client of each at rest, in the same process. The DCC-EX client starts as JMRI does
    (<s>, <#>) and then polls the status every 5 s; the WiThrottle client starts as Engine Driver
    does, acquires the decoder's address, turns heartbeat monitoring on and beats at 80 % of the
    interval the server gives."""
    demo = os.path.join(work, "net")
    shutil.copytree(os.path.join(root, "demo"), demo)
    e = Emulator(demo, os.path.join(work, "net.wav"), ["--dccex", "127.0.0.1:0", "--withrottle", "127.0.0.1:0"])
    if not e.wait_for("Slot 1 loaded", 60):
        sys.exit("bench: the demo did not load with --dccex and --withrottle")
    dccex_port = int(e.find(r"NET: DCC-EX server at [\d.]+:(\d+)").group(1))
    withrottle_port = int(e.find(r"NET: WiThrottle server at [\d.]+:(\d+)").group(1))
    time.sleep(2)
    results["net_no_client"] = e.measure(IDLE_SECONDS)
    dccex = throttle_clients.dccex(dccex_port)
    withrottle = throttle_clients.withrottle(withrottle_port)
    time.sleep(3)
    results["net_clients"] = e.measure(IDLE_SECONDS)
    if e.count(" disconnected") or e.count("dropped"):
        notes.append("a network client was disconnected while measured: the figure is not of two clients")
    dccex.close()
    withrottle.close()
    errs = e.errors()
    e.stop()
    if errs:
        notes.append("--dccex --withrottle run error lines: " + "; ".join(errs[:5]))


RENDER_RUNS = int(os.environ.get("BENCH_RENDER_RUNS", "5"))


def measure_render(work, results, notes):
    """Renders the demo's tour RENDER_RUNS times on one core; wall and CPU time of each run
    against the length of the drive rendered."""
    demo = os.path.join(work, "render")
    shutil.copytree(os.path.join(root, "demo"), demo)
    walls, cpus, length = [], [], 0.0
    def children_cpu():
        # getrusage counts in microseconds; os.times in clock ticks (10 ms, a twentieth of a render).
        u = resource.getrusage(resource.RUSAGE_CHILDREN)
        return u.ru_utime + u.ru_stime

    for _ in range(RENDER_RUNS):
        before = children_cpu()
        t0 = time.monotonic()
        subprocess.run([emulator, "--script", "tour.txt", "--render", "tour.wav"], cwd=demo, check=True,
                       stdout=subprocess.DEVNULL, preexec_fn=lambda: os.sched_setaffinity(0, {0}))
        walls.append(time.monotonic() - t0)
        cpus.append(children_cpu() - before)
        length = sum(os.path.getsize(os.path.join(demo, f)) - 44 for f in os.listdir(demo)
                     if f.startswith("tour") and f.endswith(".wav")) / 2 / RATE
    walls.sort()
    results["render"] = {"runs": RENDER_RUNS, "audio_s": round(length, 3), "wall_s": [round(w, 4) for w in walls],
                         "cpu_s": [round(c, 4) for c in sorted(cpus)],
                         "ratio": round(walls[len(walls) // 2] / length, 6)}


def key_delays(trace_lines):
    """From the trace of a render: for every command, the first track play it led to (before the
    next command and within 2 s) and the first mixer cycle that took a buffer of that play. Each
    as (command, ms from the command to the play request, ms to that first mixed sample)."""
    events = [json.loads(line) for line in trace_lines if line.strip()]
    found = []
    for i, cmd in enumerate(events):
        if cmd["ev"] != "cmd":
            continue
        play = mixed = None
        for e in events[i + 1:]:
            if e["ev"] == "cmd" or e["t"] - cmd["t"] > 2000:
                break
            if play is None and e["ev"] == "play":
                play = e
            elif play is not None and e["ev"] == "mix" and any(
                    x["track"] == play["track"] and x["play"] == play["play"] for x in e["in"]):
                mixed = e
                break
        if mixed is not None:
            found.append((cmd["line"], round(play["t"] - cmd["t"], 3), round(mixed["t"] - cmd["t"], 3)))
    return found


def measure_latency(work, results, notes):
    """Renders bench/key_latency.txt on the demo with --trace: key presses and speed steps at moments
    spread over the mixer's cycle. In simulated time a mixed buffer's first sample is in the output
    the moment the mixer writes it, so the delay is the firmware's and the pipeline's alone."""
    demo = os.path.join(work, "latency")
    shutil.copytree(os.path.join(root, "demo"), demo)
    shutil.copy(os.path.join(root, "bench", "key_latency.txt"), demo)
    subprocess.run([emulator, "--script", "key_latency.txt", "--render", "k.wav", "--trace", "k.jsonl"], cwd=demo,
                   check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(demo, "k.jsonl")) as f:
        found = key_delays(f)
    # A key whose track the firmware asks for in the key's own millisecond needs no start delay.
    keys = sorted(d for c, p, d in found if not c.startswith("s") and p < 1)
    speeds = sorted(d for c, p, d in found if c.startswith("s"))
    speed_pipeline = sorted(round(d - p, 3) for c, p, d in found if c.startswith("s"))
    results["latency"] = {"keys_ms": keys, "speed_steps_ms": speeds, "speed_steps_after_play_ms": speed_pipeline,
                          "commands": [list(x) for x in found]}


COUNT_SCRIPT = "tour.txt"


def measure_count(work, results, notes):
    """Instructions (valgrind's callgrind) of a render of the demo's tour: the same simulated drive
    every time, so the count repeats within a fraction of a per cent on a noisy machine where a
    time would not."""
    if shutil.which("valgrind") is None:
        notes.append("valgrind is not installed: no instruction count")
        return
    demo = os.path.join(work, "count")
    shutil.copytree(os.path.join(root, "demo"), demo)
    out = os.path.join(work, "callgrind.out")
    r = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", emulator, "--script",
                        COUNT_SCRIPT, "--render", "tour.wav"], cwd=demo, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    m = re.search(r"Collected : (\d+)", r.stderr)
    if r.returncode != 0 or not m:
        notes.append("the instruction count failed: " + r.stderr.strip()[-200:])
        return
    results["count"] = {"script": COUNT_SCRIPT, "instructions": int(m.group(1))}


results = {}
notes = []
PARTS = {"render": measure_render, "latency": measure_latency, "count": measure_count, "states": measure_states,
         "web": measure_web, "net": measure_net}
# BENCH_ONLY=net (or a comma-separated list of parts) measures those parts alone; the figures of
# the others come from the last run's process.json, so the report stays whole.
only = [p for p in os.environ.get("BENCH_ONLY", "").split(",") if p]
if any(p not in PARTS for p in only):
    sys.exit(f"bench: BENCH_ONLY takes parts among {', '.join(PARTS)}")
if os.environ.get("BENCH_REPORT_ONLY"):
    # Only the report again, from the figures of the last run.
    with open(os.path.join(out_dir, "process.json")) as f:
        saved = json.load(f)
    results, notes = saved["states"], saved["notes"]
else:
    saved_path = os.path.join(out_dir, "process.json")
    if only and os.path.exists(saved_path):
        with open(saved_path) as f:
            saved = json.load(f)
        results, notes = saved["states"], saved["notes"]
    work = tempfile.mkdtemp(prefix="bench-")
    try:
        for name, part in PARTS.items():
            if not only or name in only:
                part(work, results, notes)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    with open(os.path.join(out_dir, "process.json"), "w") as f:
        json.dump({"states": results, "notes": notes}, f, indent=2)


# ---------------------------------------------------------------- the report
def load(name):
    """Benchmark runs by name: the list of repetitions of each (aggregates left out)."""
    try:
        with open(os.path.join(out_dir, name)) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}, {}
    table = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration":
            continue
        table.setdefault(b.get("run_name", b["name"]), []).append(b)
    return table, data.get("context", {})


audio, ctx = load("bench_audio.json")
engine, _ = load("bench_engine.json")


def find(table, prefix):
    for k, v in table.items():
        if k.startswith(prefix):
            return v
    return None


def ms(b):
    return b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}[b["time_unit"]]


def spread(runs, value, fmt):
    """Median of the repetitions, with their range: how noisy the figure was."""
    vals = sorted(value(r) for r in runs)
    med = vals[len(vals) // 2] if len(vals) % 2 else (vals[len(vals) // 2 - 1] + vals[len(vals) // 2]) / 2
    if len(vals) == 1:
        return med, fmt.format(med)
    return med, (fmt.format(med) + " [" + fmt.format(vals[0]).strip() + " .. " + fmt.format(vals[-1]).strip() +
                 f", n={len(vals)}]")


def failed(runs):
    return next((r["error_message"] for r in runs if r.get("error_occurred")), None)


lines = []
add = lines.append
budgets = []  # (what, measured, relation, limit, format)


def budget(what, value, relation, limit, fmt):
    budgets.append((what, value, relation, limit, fmt))


def met(b):
    return {"<": b[1] < b[3], "<=": b[1] <= b[3], ">=": b[1] >= b[3]}[b[2]]

load_avg = os.getloadavg()
add(f"Performance report, {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}")
add(f"Machine: {ctx.get('num_cpus', os.cpu_count())} CPUs at {ctx.get('mhz_per_cpu', '?')} MHz, "
    f"load average now {load_avg[0]:.2f} {load_avg[1]:.2f} {load_avg[2]:.2f} (shared: other work runs too)")
add("")
add("Benchmarks: median of the repetitions [lowest .. highest, n = repetitions].")
add("")
add("Codecs (MB = 10^6 bytes of 16-bit output per second):")
ad, sx, st = find(audio, "BM_AdpcmDecode"), find(audio, "BM_SoxAdpcmDecode"), find(audio, "BM_SoxStartup")
if ad and sx and not failed(ad) and not failed(sx):
    ours, t1 = spread(ad, lambda r: r["bytes_per_second"] / 1e6, "{:7.1f}")
    theirs, t2 = spread(sx, lambda r: r["bytes_per_second"] / 1e6, "{:7.1f}")
    add(f"  IMA ADPCM decode, ours        {t1} MB/s")
    add(f"  IMA ADPCM decode, sox         {t2} MB/s (whole sox process, 300 s file)")
    if st:
        add(f"  sox start-up alone            {spread(st, ms, '{:7.2f}')[1]} ms, "
            f"of {spread(sx, ms, '{:.1f}')[1]} ms per sox run")
    add(f"  ratio ours / sox (medians)    {ours / theirs:7.2f}")
    budget("ADPCM decode at least as fast as sox's", ours / theirs, ">=", 1.0, "{:.2f} x sox")
elif ad or sx:
    add(f"  ADPCM: not measured ({failed(ad or []) or failed(sx or [])})")
for name, label in (("BM_ReaderPcm", "WAV PCM through the reader"), ("BM_ReaderAdpcm", "ADPCM through the reader"),
                    ("BM_ReaderOgg", "Ogg Vorbis through the reader")):
    b = find(audio, name)
    if b and not failed(b):
        add(f"  {label:29s} {spread(b, lambda r: r['bytes_per_second'] / 1e6, '{:7.1f}')[1]} MB/s, "
            f"{spread(b, lambda r: r['audio_s_per_s'], '{:.0f}')[1]} x real time, "
            f"CPU {spread(b, lambda r: 1e3 * r['cpu_s_per_audio_s'], '{:.2f}')[1]} ms per audio second "
            "(reader task and the consumer, which waits)")
add("")
add("One mixer cycle (4096 bytes = 64 ms of 32 kHz mono): CPU per cycle and its share of 64 ms,")
add("for the mixer thread alone and for the whole process (the readers decoding ADPCM, looping):")
for n in (1, 16, 100):
    b = find(audio, f"BM_MixerCycle/{n}/")
    if b and not failed(b):
        add(f"  {n:3d} inputs: mixer {spread(b, lambda r: r['mixer_ms_per_cycle'], '{:.3f}')[1]} ms = "
            f"{spread(b, lambda r: r['mixer_budget_pct'], '{:.2f}')[1]} %; all "
            f"{spread(b, lambda r: r['all_ms_per_cycle'], '{:.3f}')[1]} ms = "
            f"{spread(b, lambda r: r['all_budget_pct'], '{:.2f}')[1]} %; "
            f"{int(sum(r['cycles'] for r in b))} cycles")
add("")
add("Firmware:")
b = find(engine, "BM_FirmwareTick")
if b and not failed(b):
    med, t = spread(b, lambda r: ms(r) * 1e3, "{:.3f}")
    add(f"  tick(), slot loaded, drive sound running   {t} us ({med / 10:.3f} % of its 1 ms)")
b = find(engine, "BM_SoundTick")
if b and not failed(b):
    med, t = spread(b, lambda r: ms(r) * 1e3, "{:.3f}")
    add(f"  100 ms sound tick                          {t} us ({med / 1000:.5f} % of its 100 ms)")
for name, label in (("BM_SlotLoad100Warm", "warm"), ("BM_SlotLoad100Cold", "cold (page cache dropped)")):
    b = find(engine, name)
    if b and not failed(b):
        if name == "BM_SlotLoad100Warm":
            budget("slot load of 100 files, warm", spread(b, ms, "{}")[0], "<", 300, "{:.1f} ms")
        add(f"  slot load of 100 files, {label:25s} {spread(b, ms, '{:.2f}')[1]} ms "
            f"({int(b[0]['tracks'])} tracks loaded; loads per repetition: {b[0]['iterations']})")
    elif b:
        add(f"  slot load of 100 files, {label}: not measured ({failed(b)})")
add("")
add("Whole process, from outside (--no-sound --record; CPU of all threads / wall time):")
labels = {"demo_idle": "demo, slot loaded, idle", "engine_idle": "demo, engine idling (f1)",
          "loops16": "16 looping tracks", "tracks100": "100-file project, all on",
          "web_no_page": "demo idle, --web, no page", "web_page": "demo idle, one panel page",
          "net_no_client": "demo idle, net, no client", "net_clients": "demo idle, two throttles"}
for k, label in labels.items():
    r = results.get(k)
    if r:
        sl = r.get("cpu_pct_slices") or [r["cpu_pct_of_core"]]
        add(f"  {label:27s} CPU {r['cpu_pct_of_core']:5.2f} % of a core [5 s slices {min(sl):.2f} .. {max(sl):.2f}], "
            f"RSS {r['rss_mib']:5.1f} MiB, "
            f"{r['threads']} threads, pacing {r['pacing']:.5f} over {r['wall_s']:.1f} s"
            + (f", {r['tracks_started']} track starts" if "tracks_started" in r else ""))
add("Wake-ups per second by thread (context switches: wake-ups and preemptions; tick = the main thread's")
add("tick loop, wav# = every reader task together, counted while it runs):")
for k, label in labels.items():
    r = results.get(k)
    if r and "wakeups_per_s" in r:
        w = r["wakeups_per_s"]
        add(f"  {label:27s} {sum(w.values()):7.0f}: " + ", ".join(f"{n} {v:.0f}" for n, v in w.items() if v >= 0.5))
for k, label, limit in (("demo_idle", "CPU, demo idle with the slot loaded", 0.5),
                        ("loops16", "CPU, 16 looping tracks", 2), ("tracks100", "CPU, 100-file project all on", 8)):
    if k in results:
        budget(label, results[k]["cpu_pct_of_core"], "<", limit, "{:.2f} % of a core")
r, r0 = results.get("web_page"), results.get("web_no_page")
if r and r0:
    growth = r["cpu_pct_of_core"] - r0["cpu_pct_of_core"]
    budget("CPU added by one open panel page", growth, "<", 1, "{:.2f} % of a core")
    line = (f"Web panel (--web): one open page with its sound on adds {growth:.2f} % of a core to the demo idle "
            f"({r0['cpu_pct_of_core']:.2f} -> {r['cpu_pct_of_core']:.2f} %)")
    if "demo_idle" in results:
        line += f"; --web with no page open: {r0['cpu_pct_of_core'] - results['demo_idle']['cpu_pct_of_core']:+.2f} %"
    add(line)
    snd = r.get("sound")
    if snd:
        d = snd["delay_ms"]
        budget("panel sound behind the decoder, median", d["median"], "<", 250, "{:.0f} ms")
        add(f"  the page's sound is heard {d['median']} ms (median; 95 % within {d['p95']} ms, at most {d['max']} ms) "
            f"after the decoder sent it to its sound output ({d['samples']} samples of the page's own measure, "
            f"{snd['frames']} frames)")
r, r0 = results.get("net_clients"), results.get("net_no_client")
if r and r0:
    growth = r["cpu_pct_of_core"] - r0["cpu_pct_of_core"]
    budget("CPU added by one client of each protocol", growth, "<", 0.5, "{:.2f} % of a core")
    line = (f"Network throttles (--dccex, --withrottle): a DCC-EX client polling <s> every 5 s and a WiThrottle "
            f"client with its loco and heartbeat add {growth:.2f} % of a core to the demo idle "
            f"({r0['cpu_pct_of_core']:.2f} -> {r['cpu_pct_of_core']:.2f} %)")
    if "demo_idle" in results:
        line += f"; both servers with no client: {r0['cpu_pct_of_core'] - results['demo_idle']['cpu_pct_of_core']:+.2f} %"
    add(line)
r = results.get("demo_idle")
if r:
    budget("pacing without a sound device, 60 s", abs(100 * (r["pacing"] - 1)), "<", 0.1, "{:.3f} % off real time")
    add(f"Pacing without a sound device: {r['audio_s']:.3f} s of audio in {r['wall_s']:.3f} s of wall time = "
        f"{r['pacing']:.5f} ({100 * (r['pacing'] - 1):+.3f} %)")
r = results.get("render")
if r:
    add(f"Render of the demo's tour (simulated time, one core): {r['audio_s']:.1f} s of drive in "
        f"{r['wall_s'][len(r['wall_s']) // 2]:.3f} s [{r['wall_s'][0]:.3f} .. {r['wall_s'][-1]:.3f}, n={r['runs']}] "
        f"of wall time, CPU {r['cpu_s'][len(r['cpu_s']) // 2]:.3f} s: {1 / r['ratio']:.0f} times faster than real "
        f"time (CPU alone: {r['audio_s'] / r['cpu_s'][len(r['cpu_s']) // 2]:.0f} times)")
    # Judged by the CPU time the render takes on its core: the wall time adds whatever else the
    # machine runs on that core meanwhile.
    budget("render of the demo tour, CPU of one core", r["audio_s"] / r["cpu_s"][len(r["cpu_s"]) // 2], ">=", 500,
           "{:.0f} x real time")
r = results.get("latency")
if r and r["keys_ms"]:
    k, sp = r["keys_ms"], r["speed_steps_ms"]
    budget("key to first sample, worst (simulated)", k[-1], "<=", 128, "{:.1f} ms")
    add(f"Key to first sample (bench/key_latency.txt on the demo, simulated time): {len(k)} keys whose track "
        f"starts in the key's millisecond: median {k[len(k) // 2]:.1f} ms, worst {k[-1]:.1f} ms (one mixer buffer "
        "is 64 ms)")
    if sp:
        pl = r["speed_steps_after_play_ms"]
        add(f"  {len(sp)} speed steps to the first sample of the track they lead to: median {sp[len(sp) // 2]:.1f} ms, "
            f"worst {sp[-1]:.1f} ms; of which after the firmware asks for the track: median "
            f"{pl[len(pl) // 2]:.1f} ms, worst {pl[-1]:.1f} ms (the rest is the decoder's own: a speed takes "
            "effect on its second repeat, the drive sound follows on its 100 ms tick)")
    add("  With a sound device, in real time, PortAudio's blocking write adds what the device holds: up to one "
        "buffer (64 ms) queued, plus the device's own output latency (not measured here: no sound card)")
r = results.get("count")
if r:
    add(f"Instructions of a render of demo/{r['script']} (callgrind, every thread): {r['instructions']:,}")
add("In the 100-file project each function plays one track at a time (its ON, then its LOOP), so "
    "69 tracks sound at once; the mixer cycle above covers 100 inputs.")
for n in notes:
    add("Note: " + n)
if ctx.get("library_build_type") == "debug":
    add("Note: the packaged Google Benchmark library reports a debug build of itself; the code measured "
        "is built in Release (-O3).")
# The budgets go first: the figures they come from follow.
missed = [b for b in budgets if not met(b)]
head = ["", "Budgets:"]
for b in budgets:
    what, value, relation, limit, fmt = b
    head.append(f"  {'met   ' if met(b) else 'MISSED'} {what:40s} {fmt.format(value):>22s}  (budget {relation} {limit})")
head.append(f"  {len(budgets) - len(missed)} of {len(budgets)} budgets met")
lines[2:2] = head
text = "\n".join(lines) + "\n"
with open(os.path.join(out_dir, "report.txt"), "w") as f:
    f.write(text)
print(text)
sys.exit(1 if missed else 0)
