// The DCC-EX server against command strings that a library not written here builds
// (@cloudthrottle/dcc-ex--commands, pinned in package-lock.json), with the replies read by that
// library's own parsers where it has one. The emulator runs on a copy of the demo project; its
// log shows what the decoder did. EMULATOR names the binary.
import { spawn } from 'node:child_process';
import { cpSync, mkdtempSync, rmSync } from 'node:fs';
import { connect } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import * as C from '@cloudthrottle/dcc-ex--commands';

const here = dirname(fileURLToPath(import.meta.url));
const emulator = process.env.EMULATOR || join(here, '../../build/emulator');
const dir = mkdtempSync(join(tmpdir(), 'dccex-commands-'));
cpSync(join(here, '../../demo'), dir, { recursive: true });

const emu = spawn(emulator, ['--no-sound', '--dccex', '127.0.0.1:0'], { cwd: dir, stdio: ['pipe', 'pipe', 'inherit'] });
let log = '';
emu.stdout.on('data', (d) => { log += d; });

function check(ok, message) {
  if (ok) return;
  console.error(`FAIL: ${message}\n--- emulator log ---\n${log}`);
  emu.kill('SIGKILL');
  rmSync(dir, { recursive: true, force: true });
  process.exit(1);
}

// Polls `probe` until it gives something, for at most `ms`.
async function until(probe, what, ms = 5000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = probe();
    if (v) return v;
    check(Date.now() <= end, `no ${what} within ${ms} ms`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

const port = Number((await until(() => log.match(/DCC-EX server at 127\.0\.0\.1:(\d+)/), 'server'))[1]);
await until(() => log.includes('Slot 1 loaded'), 'slot load', 15000);

const socket = connect(port, '127.0.0.1');
let received = '';
let seen = 0;
socket.on('data', (d) => { received += d; });
await new Promise((r, j) => { socket.once('connect', r); socket.once('error', j); });

// Sends `command` and waits for a reply frame whose text matches `pattern`; the frame.
async function ask(command, pattern) {
  socket.write(command);
  if (!pattern) return null;
  return until(() => {
    const frames = received.slice(seen).match(/<[^>]*>/g) || [];
    for (const f of frames) {
      if (pattern.test(f)) {
        seen = received.indexOf(f, seen) + f.length;
        return f;
      }
    }
    return null;
  }, `reply to ${command} like ${pattern}`);
}
const logged = (text) => until(() => log.includes(text), `log line "${text}"`);

// Track power, with the reply through the library's parser.
let p = C.powerParser(await ask(C.powerCommand({ power: 1 }), /^<p/));
check(p.params.power === 1, `power on: ${JSON.stringify(p)}`);

// A throttle: speed 50 forward. JMRI's form has a register, and the loco's state follows.
const t = C.throttleParser(await ask(C.throttleCommand({ cab: 3, speed: 50, direction: 1 }), /^<T /));
check(t.params.speed === 50 && t.params.direction === 1, `throttle: ${JSON.stringify(t)}`);
let l = C.locoParser(await ask('', /^<l 3 /));
check(l.params.cabId === 3 && l.params.speed === 50 && l.params.direction === 1, `loco: ${JSON.stringify(l)}`);
await logged('New speed 134');  // 40 % forward: speed byte 52 with the direction bit

// The horn on and off.
l = C.locoParser(await ask(C.cabCommand({ cab: 3, func: 2, value: 1 }), /^<l 3 /));
check(l.params.functionButtons[2].value === 1, `F2 on: ${JSON.stringify(l.params.functionButtons[2])}`);
l = C.locoParser(await ask(C.cabCommand({ cab: 3, func: 2, value: 0 }), /^<l 3 /));
check(l.params.functionButtons[2].value === 0 && await logged('Function 2 Changed to 0'), 'F2 off');

// Emergency stop of everything.
l = C.locoParser(await ask(C.emergencyStopCommand(), /^<l 3 /));
check(l.params.speed === -1, `emergency stop: ${JSON.stringify(l.params)}`);
await logged('New speed 0');

// The programming track: address, CVs by byte and by bit.
const a = C.decoderAddressParser(await ask(C.readAddressProgrammingCommand(), /^<r \d+>$/));
check(a.params.address === 3, `address: ${JSON.stringify(a)}`);
await ask(C.readCVByteProgrammingCommand({ cv: 29, callbackNum: 0, callbackSub: 82 }), /^<r0\|82\|29 10>$/);
await ask(C.readCVByteProgrammingCommand({ cv: 8 }), /^<v 8 172>$/);
await ask(C.writeCVByteProgrammingCommand({ cv: 3, value: 20 }), /^<r 3 20>$/);
await logged('CV3=20');
await ask(C.writeCVBitProgrammingCommand({ cv: 29, bit: 5, value: 1 }), /^<r 29 5 1>$/);
await ask(C.readAddressProgrammingCommand(), /^<r 100>$/);
await ask(C.writeAddressProgrammingCommand({ address: 3 }), /^<w 3>$/);
await ask(C.readAddressProgrammingCommand(), /^<r 3>$/);

// Programming on the main: no reply; the decoder at that address takes it.
await ask(C.writeCVByteMainCommand({ cab: 3, cv: 63, value: 5 }));
await logged('CV63=5');
await ask(C.writeCVBitMainCommand({ cab: 3, cv: 29, bit: 2, value: 1 }));
await logged('CV29=14');

// Forgetting locos answers nothing; the station still does.
await ask(C.forgetCabCommand({ cab: 3 }) + C.forgetAllCabsCommand());
p = C.powerParser(await ask(C.powerCommand({ power: 0, track: 'MAIN' }), /^<p0/));
check(p.params.power === 0 && p.params.track === 'MAIN', `power off: ${JSON.stringify(p)}`);

socket.destroy();
emu.kill('SIGINT');
await new Promise((r) => emu.once('exit', r));
rmSync(dir, { recursive: true, force: true });
console.log('PASS: every command the library builds was understood, and the replies parse');
