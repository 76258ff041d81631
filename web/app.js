// The decoder panel: one WebSocket to the emulator. The server sends the whole state once and
// then only what changed (sections of keyed values; null removes a key), the new log lines, and
// the mixed sound as binary frames. Requests go back as small JSON messages.
'use strict';

const $ = (id) => document.getElementById(id);
const FIRST_HIDDEN_KEY = 29, KEY_COUNT = 69;
const STATE_NAMES = ['idle', 'ON', 'LOOP', 'OFF', 'last'];
const HOLD_MS = 500;          // a press held this long is momentary: released, the key goes back
const SPEED_SEND_MS = 50;     // slider moves go out at most this often
const LOG_KEEP = 2000;
const CHART_SECONDS = 60, CHART_RATE = 10;

const state = {};             // section -> key -> value, as the server keeps it
let ws = null;
let cvNames = [];
// What the tests (and a curious user in the console) can read.
const panel = window.panel = {
  connected: false, messages: 0, deltas: 0, audioFrames: 0, audioBytes: 0, delayMs: null,
  errors: [], state,
};

// ---------------------------------------------------------------- connection

function connect() {
  ws = new WebSocket(`ws://${location.host}/ws`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => {
    panel.connected = true;
    $('link').textContent = 'connected';
    $('link').className = 'link up';
    if (sound.ctx) send({ type: 'audio', on: true });
    ping();
    readCvTable();
  };
  ws.onclose = () => {
    panel.connected = false;
    $('link').textContent = 'disconnected: retrying';
    $('link').className = 'link down';
    setTimeout(connect, 1000);
  };
  ws.onmessage = onMessage;
}

function onMessage(ev) {
  panel.messages++;
  if (ev.data instanceof ArrayBuffer) {
    playFrame(ev.data, ev.timeStamp);
    return;
  }
  const m = JSON.parse(ev.data);
  switch (m.type) {
    case 'state':
      for (const k of Object.keys(state)) delete state[k];
      Object.assign(state, m.state);
      clearLog();
      addLog(m.log);
      scheduleRender(Object.keys(state));
      break;
    case 'delta':
      panel.deltas++;
      applyDelta(m.set);
      scheduleRender(Object.keys(m.set));
      break;
    case 'log': addLog(m.lines); break;
    case 'cv': showCv(m.cv, m.value); break;
    case 'pong': pong(m, ev.timeStamp); break;
    case 'check': showCheck(m); break;
    case 'error':
      if (m.request === 'check') showCheck({ text: m.message });
      showError(m.message);
      break;
  }
}

function send(obj) {
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(obj));
}

function applyDelta(set) {
  for (const [section, changes] of Object.entries(set)) {
    const target = state[section] || (state[section] = {});
    for (const [key, value] of Object.entries(changes)) {
      if (value === null) delete target[key]; else target[key] = value;
    }
  }
}

function showError(text) {
  panel.errors.push(text);
  const div = document.createElement('div');
  div.textContent = text;
  $('errors').appendChild(div);
  setTimeout(() => div.remove(), 6000);
}

// ---------------------------------------------------------------- clock (for the sound delay)

// Server clock minus page clock, from the ping with the shortest round trip of the last few.
// The answer counts from when it arrived (the event's time stamp), not from when the page got
// round to it.
let clockOffset = null, pings = [];
function ping() { send({ type: 'ping', t: performance.now() }); }
function pong(m, arrived) {
  const now = arrived > 0 ? arrived : performance.now(), rtt = now - m.t;
  pings.push({ rtt, offset: m.server_ms - (m.t + rtt / 2) });
  if (pings.length > 8) pings.shift();
  clockOffset = pings.reduce((a, b) => (b.rtt < a.rtt ? b : a)).offset;
}
setInterval(ping, 2000);

// ---------------------------------------------------------------- throttle

let reverse = false, lastSpeedSent = 0, speedTimer = null, sliderBusyUntil = 0;

function sendSpeed() {
  speedTimer = null;
  lastSpeedSent = performance.now();
  send({ type: 'speed', percent: Number($('speed').value), dir: reverse ? 'reverse' : 'forward' });
}
function speedChanged() {
  sliderBusyUntil = performance.now() + 1000;
  $('speed-value').textContent = `${$('speed').value} %`;
  const wait = SPEED_SEND_MS - (performance.now() - lastSpeedSent);
  if (wait <= 0) sendSpeed(); else if (!speedTimer) speedTimer = setTimeout(sendSpeed, wait);
}
function setSpeed(v) {
  $('speed').value = Math.max(0, Math.min(100, v));
  speedChanged();
}
function setDirection(rev) {
  reverse = rev;
  $('dir-forward').setAttribute('aria-pressed', String(!rev));
  $('dir-reverse').setAttribute('aria-pressed', String(rev));
  sliderBusyUntil = performance.now() + 1000;
  sendSpeed();
}
function estop() {
  $('speed').value = 0;
  $('speed-value').textContent = '0 %';
  sliderBusyUntil = performance.now() + 1000;
  send({ type: 'estop' });
}

$('speed').addEventListener('input', speedChanged);
$('dir-forward').onclick = () => setDirection(false);
$('dir-reverse').onclick = () => setDirection(true);
$('stop').onclick = () => setSpeed(0);
$('estop').onclick = estop;

// ---------------------------------------------------------------- function keys

const keyButtons = [];
let showAllKeys = false;

function keyState(f) { return (state.fn && state.fn[f]) || [0, 0, 0, 0, 0]; }

// Press: the key switches at once. Release after HOLD_MS: it goes back (a momentary press).
function pressKey(f, btn) {
  const before = keyState(f)[0] === 1;
  btn.classList.add('held');
  send({ type: 'function', fn: f, on: !before });
  const started = performance.now();
  return () => {
    btn.classList.remove('held');
    if (performance.now() - started >= HOLD_MS) send({ type: 'function', fn: f, on: before });
  };
}

function buildKeys() {
  const box = $('keys');
  for (let f = 0; f < KEY_COUNT; f++) {
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'key';
    b.dataset.fn = f;
    b.innerHTML = `<span class="n">F${f}</span><span class="l"></span><span class="s"></span>`;
    let release = null;
    b.addEventListener('pointerdown', (ev) => {
      if (ev.button !== 0 || release) return;
      b.setPointerCapture(ev.pointerId);
      release = pressKey(f, b);
    });
    const up = () => { if (release) { release(); release = null; } };
    b.addEventListener('pointerup', up);
    b.addEventListener('pointercancel', up);
    b.addEventListener('contextmenu', (ev) => ev.preventDefault());
    b.addEventListener('keydown', (ev) => {
      if ((ev.key === 'Enter' || ev.key === ' ') && !ev.repeat && !release) {
        ev.preventDefault();
        ev.stopPropagation();
        release = pressKey(f, b);
      }
    });
    b.addEventListener('keyup', (ev) => {
      if (ev.key === 'Enter' || ev.key === ' ') { ev.preventDefault(); ev.stopPropagation(); up(); }
    });
    box.appendChild(b);
    keyButtons.push(b);
  }
  $('more-keys').onclick = () => {
    showAllKeys = !showAllKeys;
    $('more-keys').setAttribute('aria-expanded', String(showAllKeys));
    $('more-keys').textContent = showAllKeys ? 'Hide F29–F68' : 'Show F29–F68';
    dirty.add('fn');
    render();
  };
}

// What each key showed last, so that only keys that changed are touched.
const keyShown = [];

function renderKeys() {
  const keys = state.keys || {};
  for (let f = 0; f < KEY_COUNT; f++) {
    const b = keyButtons[f];
    const [commanded, on, soundOn, blocked, sstate] = keyState(f);
    const info = keys[f] || {};
    const shown = `${commanded}${on}${soundOn}${blocked}${sstate}${showAllKeys}|${info.label}|${info.sounds}|${info.momentary}`;
    if (keyShown[f] === shown) continue;
    keyShown[f] = shown;
    b.hidden = f >= FIRST_HIDDEN_KEY && !showAllKeys;
    const label = info.label || info.sounds || '';
    b.querySelector('.l').textContent = info.label || '';
    b.querySelector('.s').textContent = info.label ? info.sounds : info.sounds || '';
    const lit = on === 1 || soundOn === 1;
    b.classList.toggle('on', lit);
    b.classList.toggle('logic', soundOn === 1 && commanded === 0);
    b.classList.toggle('blocked', blocked === 1);
    b.setAttribute('aria-pressed', String(lit));
    b.title = `F${f}${label ? ' ' + label : ''}${info.momentary ? ' (momentary)' : ''}: ${commanded ? 'on' : 'off'} at the throttle` +
      `${blocked ? ', blocked by a logic condition' : ''}${soundOn && !commanded ? ', switched on by a logic condition' : ''}` +
      `; sound ${STATE_NAMES[sstate] || sstate}`;
  }
}

// ---------------------------------------------------------------- keyboard

const heldDigits = {};
const SLIDER_KEYS = ['ArrowUp', 'ArrowDown', 'ArrowLeft', 'ArrowRight', 'PageUp', 'PageDown', 'Home', 'End'];
document.addEventListener('keydown', (ev) => {
  const t = ev.target || {};
  if (ev.ctrlKey || ev.metaKey || ev.altKey) return;
  // Text fields keep their keys; the slider moves itself; a focused button takes Space and Enter.
  if ((t.tagName === 'INPUT' && t.id !== 'speed') || t.tagName === 'SELECT' || t.tagName === 'TEXTAREA') return;
  if (t.id === 'speed' && SLIDER_KEYS.includes(ev.key)) return;
  if (t.tagName === 'BUTTON' && (ev.key === ' ' || ev.key === 'Enter')) return;
  const v = Number($('speed').value);
  if (/^[0-9]$/.test(ev.key)) {
    if (!ev.repeat && !heldDigits[ev.key]) heldDigits[ev.key] = pressKey(Number(ev.key), keyButtons[Number(ev.key)]);
  } else if (ev.key === ' ') estop();
  else if (ev.key === 'ArrowUp' || ev.key === 'ArrowRight') setSpeed(v + 1);
  else if (ev.key === 'ArrowDown' || ev.key === 'ArrowLeft') setSpeed(v - 1);
  else if (ev.key === 'PageUp') setSpeed(v + 10);
  else if (ev.key === 'PageDown') setSpeed(v - 10);
  else if (ev.key === 'Home') setSpeed(0);
  else if (ev.key === 'r' || ev.key === 'R') setDirection(!reverse);
  else return;
  ev.preventDefault();
});
document.addEventListener('keyup', (ev) => {
  if (heldDigits[ev.key]) { heldDigits[ev.key](); delete heldDigits[ev.key]; }
});

// ---------------------------------------------------------------- rendering

function esc(s) { return String(s).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' }[c])); }
function fmtMs(ms) { return (ms / 1000).toFixed(1) + ' s'; }
// A bar and its figure. Built as elements: the page's security policy allows no inline styles.
function barCell(cls) {
  const td = document.createElement('td');
  td.innerHTML = `<div class="bar ${cls}"><i></i></div><span></span>`;
  return td;
}
function setBar(td, pct, text) {
  td.querySelector('i').style.width = `${Math.max(0, Math.min(100, pct))}%`;
  td.querySelector('span').textContent = text;
}

// Changes are drawn at most every RENDER_MS, and only the sections they touched: a page that
// follows a busy decoder must keep up with it on a slow machine, or its sound falls behind.
const RENDER_MS = 80;
const dirty = new Set();
let renderTimer = null;
function scheduleRender(sections) {
  for (const s of sections) dirty.add(s);
  if (!renderTimer) renderTimer = setTimeout(render, RENDER_MS);
}

// The throttles connected over the network (emulator --dccex / --withrottle).
function renderThrottles() {
  const list = Object.values(state.net || {});
  const p = $('net-throttles');
  p.hidden = list.length === 0;
  p.textContent = 'Network throttles: ' + list.map((t) =>
    `${t.protocol} ${t.name}${t.driving ? ' (drives ' + t.driving + ')' : ''}`).join('; ');
}

function render() {
  renderTimer = null;
  if (dirty.has('slot')) renderSlot();
  if (dirty.has('drive')) renderDrive();
  if (dirty.has('fn') || dirty.has('keys')) renderKeys();
  if (dirty.has('out')) renderLamps();
  if (dirty.has('play') || dirty.has('keys')) renderPlaying();
  if (dirty.has('net')) renderThrottles();
  dirty.clear();
}

function renderSlot() {
  const slot = state.slot || {};
  $('vehicle').textContent = slot.vehicle || '';
  $('slot-state').textContent = slot.state === 'loaded' ? '' : slot.state || '';
  for (const b of document.querySelectorAll('.slot')) b.classList.toggle('current', Number(b.dataset.slot) === slot.id);
}

function renderDrive() {
  const d = state.drive || {};
  if (performance.now() > sliderBusyUntil && !speedTimer) {
    $('speed').value = d.throttle || 0;
    $('speed-value').textContent = `${d.throttle || 0} %`;
    if (reverse !== !!d.reverse) {
      reverse = !!d.reverse;
      $('dir-forward').setAttribute('aria-pressed', String(!reverse));
      $('dir-reverse').setAttribute('aria-pressed', String(reverse));
    }
  }
  $('estop').classList.toggle('active', !!d.estop);
  for (const k of ['throttle', 'target', 'motor', 'load']) {
    $('g-' + k).value = d[k] || 0;
    $('v-' + k).textContent = `${d[k] || 0} %`;
  }
  $('direction').textContent = d.direction ? `direction ${d.direction} (${d.direction === 1 ? 'Reverse' : 'Forward'})` : '';
}

function renderLamps() {
  const box = $('lamps');
  const out = state.out || {};
  if (!box.children.length) {
    for (let o = 0; o < 12; o++) {
      const d = document.createElement('div');
      d.className = 'lamp';
      d.innerHTML = `<div class="bulb"></div><span>out ${o}</span>`;
      box.appendChild(d);
    }
  }
  for (let o = 0; o < 12; o++) {
    const [duty, on] = out[o] || [0, 0];
    if (box.children[o].dataset.shown === `${duty}/${on}`) continue;
    box.children[o].dataset.shown = `${duty}/${on}`;
    const bulb = box.children[o].firstChild;
    const a = duty / 255;
    bulb.style.background = `rgba(255, 214, 110, ${a.toFixed(3)})`;
    bulb.style.boxShadow = a > 0 ? `0 0 ${Math.round(4 + 14 * a)}px rgba(255, 200, 80, ${a.toFixed(3)})` : 'none';
    bulb.style.borderColor = on ? '#ffd66e' : '#444';
    box.children[o].title = `output ${o}: duty ${duty} of 255${on ? ', switched on' : ''}`;
    box.children[o].dataset.duty = duty;
  }
}

// One row per sounding track, kept while the track sounds.
function renderPlaying() {
  const play = state.play || {};
  const keys = state.keys || {};
  const body = $('playing').querySelector('tbody');
  const ids = Object.keys(play).map(Number).sort((a, b) => a - b);
  $('nothing-plays').hidden = ids.length > 0;
  for (const tr of [...body.children]) if (!(tr.dataset.track in play)) tr.remove();
  let before = null;
  for (const id of ids.slice().reverse()) {
    const p = play[id];
    let tr = body.querySelector(`tr[data-track="${id}"]`);
    if (!tr) {
      tr = document.createElement('tr');
      tr.dataset.track = id;
      for (const cls of ['id', 'file', 'key', 'role']) {
        const td = document.createElement('td');
        td.className = cls;
        tr.appendChild(td);
      }
      tr.appendChild(barCell('gain'));
      tr.appendChild(document.createElement('td'));
      tr.appendChild(barCell('pos'));
    }
    body.insertBefore(tr, before);
    before = tr;
    const k = keys[p.fn] || {};
    const c = tr.children;
    tr.classList.toggle('fading', !p.engine);
    c[0].textContent = id;
    c[1].textContent = p.file;
    c[2].textContent = `F${p.fn}${k.label ? ' ' + k.label : ''}`;
    c[3].textContent = p.role + (p.engine ? '' : ' (stopping)');
    setBar(c[4], p.gain / 2, ` ${p.gain} %`);
    c[5].textContent = p.fade === 'in' ? `in → ${p.target} %` : p.fade === 'out' ? 'out' : '';
    setBar(c[6], p.len > 0 ? 100 * (p.pos % Math.max(1, p.len)) / p.len : 0, ` ${fmtMs(p.pos)} / ${fmtMs(p.len)}`);
  }
}

// ---------------------------------------------------------------- chart

const chart = { t: [], throttle: [], motor: [], load: [] };
function sampleChart() {
  const d = state.drive || {};
  chart.throttle.push(d.throttle || 0);
  chart.motor.push(d.motor || 0);
  chart.load.push(d.load || 0);
  const max = CHART_SECONDS * CHART_RATE;
  for (const k of ['throttle', 'motor', 'load']) if (chart[k].length > max) chart[k].shift();
  drawChart();
}
let chartColors = null;
function drawChart() {
  const c = $('chart'), g = c.getContext('2d');
  const w = c.clientWidth || 640, h = c.clientHeight || 150;
  if (c.width !== w || c.height !== h) { c.width = w; c.height = h; }
  if (!chartColors) {
    const css = getComputedStyle(document.documentElement);
    chartColors = Object.fromEntries(['load', 'throttle', 'motor'].map((k) => [k, css.getPropertyValue('--' + k)]));
  }
  g.clearRect(0, 0, w, h);
  g.strokeStyle = '#2a3139';
  g.lineWidth = 1;
  for (let y = 0; y <= 4; y++) { g.beginPath(); g.moveTo(0, h * y / 4); g.lineTo(w, h * y / 4); g.stroke(); }
  const max = CHART_SECONDS * CHART_RATE;
  for (const k of ['load', 'throttle', 'motor']) {
    const v = chart[k];
    g.strokeStyle = chartColors[k];
    g.lineWidth = 2;
    g.beginPath();
    v.forEach((p, i) => {
      const x = w - (v.length - 1 - i) * w / (max - 1), y = h - 2 - (h - 4) * p / 100;
      if (i) g.lineTo(x, y); else g.moveTo(x, y);
    });
    g.stroke();
  }
}
setInterval(sampleChart, 1000 / CHART_RATE);

// ---------------------------------------------------------------- CVs

function readCvTable() {
  for (const row of cvNames) for (const cv of row.cv) send({ type: 'cv_read', cv });
}
function showCv(cv, value) {
  const cell = document.querySelector(`#cv-table td[data-cv="${cv}"]`);
  if (cell) cell.textContent = value;
  if (Number($('cv-number').value) === cv) {
    $('cv-value').value = value;
    const row = cvNames.find((r) => r.cv.includes(cv));
    $('cv-answer').textContent = `CV ${cv} = ${value}${row ? ' (' + row.meaning.replace(/`/g, '') + ')' : ''}`;
  }
}
$('cv-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  send({ type: 'cv_read', cv: Number($('cv-number').value) });
});
$('cv-write').onclick = () => {
  const cv = Number($('cv-number').value), value = Number($('cv-value').value);
  if ($('cv-value').value === '') { showError('Give a value 0..255 to write.'); return; }
  if (cv === 8 && value === 8 && !confirm('CV 8 = 8 resets every CV to its factory value. Go on?')) return;
  send({ type: 'cv_write', cv, value });
};
fetch('cv_names.json').then((r) => r.json()).then((rows) => {
  cvNames = rows;
  $('cv-table').querySelector('tbody').innerHTML = rows.map((r) =>
    r.cv.map((cv, i) => `<tr><td>${cv}</td><td data-cv="${cv}"></td><td>${esc(r.default.split(',')[i] || r.default).trim()}</td>` +
      `<td>${esc(r.meaning.replace(/`/g, ''))}</td></tr>`).join('')).join('');
  readCvTable();
});

// ---------------------------------------------------------------- slot and check

for (const b of document.querySelectorAll('.slot')) b.onclick = () => send({ type: 'slot', slot: Number(b.dataset.slot) });
$('check').onclick = () => {
  $('check').disabled = true;
  $('check-report').hidden = false;
  $('check-report').textContent = 'Checking…';
  send({ type: 'check' });
};
function showCheck(m) {
  $('check').disabled = false;
  $('check-report').textContent = m.text;
}

// ---------------------------------------------------------------- log

const logLines = [];
const tags = new Set();
function parseLine(text) {
  const m = /^([EWIDV]) \((\d+)\) ([^:]+): /.exec(text);
  return m ? { level: m[1], tag: m[3], text } : { level: '', tag: '', text };
}
function clearLog() { logLines.length = 0; $('log').textContent = ''; }
function lineVisible(l) {
  const levels = [...document.querySelectorAll('.lvl:checked')].map((c) => c.value);
  const tag = $('log-tag').value, text = $('log-text').value;
  return (!l.level || levels.includes(l.level)) && (!tag || l.tag === tag) && (!text || l.text.includes(text));
}
function lineNode(l) {
  const div = document.createElement('div');
  div.className = l.level;
  div.textContent = l.text;
  return div;
}
function addLog(lines) {
  const box = $('log');
  const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
  for (const text of lines || []) {
    const l = parseLine(text);
    logLines.push(l);
    if (l.tag && !tags.has(l.tag)) {
      tags.add(l.tag);
      const o = document.createElement('option');
      o.value = o.textContent = l.tag;
      $('log-tag').appendChild(o);
    }
    if (lineVisible(l)) box.appendChild(lineNode(l));
  }
  while (logLines.length > LOG_KEEP) logLines.shift();
  while (box.childElementCount > LOG_KEEP) box.firstChild.remove();
  if (atEnd) box.scrollTop = box.scrollHeight;
}
function refilterLog() {
  const box = $('log');
  box.textContent = '';
  for (const l of logLines) if (lineVisible(l)) box.appendChild(lineNode(l));
  box.scrollTop = box.scrollHeight;
}
for (const c of document.querySelectorAll('.lvl')) c.onchange = refilterLog;
$('log-tag').onchange = refilterLog;
$('log-text').oninput = refilterLog;

// ---------------------------------------------------------------- sound

// Frames are scheduled back to back a little ahead of the audio clock: LEAD_S is how late a
// frame may arrive without a gap. A gap (the network, a busy page) restarts the schedule; a
// schedule that runs too far ahead (frames that came in a burst) drops a frame, so that the
// sound never lags far behind the decoder.
const LEAD_S = 0.05, MAX_AHEAD_S = 0.12;
const sound = { ctx: null, next: 0, delay: null };

function playFrame(buf, arrived) {
  const view = new DataView(buf);
  if (buf.byteLength < 20 || view.getUint32(0, true) !== 0x314d4350) return; // "PCM1"
  panel.audioFrames++;
  panel.audioBytes += buf.byteLength;
  const ctx = sound.ctx;
  if (!ctx) return;
  const rate = view.getUint32(4, true), serverMs = view.getFloat64(12, true);
  const samples = new Int16Array(buf, 20);
  if (!samples.length || rate < 3000) return;
  const now = ctx.currentTime;
  if (sound.next < now + 0.01) sound.next = now + LEAD_S;
  if (sound.next > now + MAX_AHEAD_S) return;
  const ab = ctx.createBuffer(1, samples.length, rate);
  const ch = ab.getChannelData(0);
  for (let i = 0; i < samples.length; i++) ch[i] = samples[i] / 32768;
  const src = ctx.createBufferSource();
  src.buffer = ab;
  src.connect(ctx.destination);
  src.start(sound.next);
  // When this frame will be heard, on the server's clock, against when the decoder sent it out.
  if (clockOffset !== null) {
    const ts = ctx.getOutputTimestamp ? ctx.getOutputTimestamp() : {};
    let heardAt;
    if (ts.performanceTime > 0) heardAt = ts.performanceTime + (sound.next - ts.contextTime) * 1000;
    else heardAt = performance.now() + (sound.next - now + (ctx.baseLatency || 0) + (ctx.outputLatency || 0)) * 1000;
    const d = heardAt + clockOffset - serverMs;
    panel.arrivalMs = Math.round((arrived > 0 ? arrived : performance.now()) + clockOffset - serverMs);
    sound.delay = sound.delay === null ? d : 0.9 * sound.delay + 0.1 * d;
    panel.delayMs = Math.round(sound.delay);
  }
  sound.next += ab.duration;
}

$('sound').onclick = async () => {
  if (!sound.ctx) {
    sound.ctx = new AudioContext({ latencyHint: 'interactive' });
    await sound.ctx.resume();
    sound.next = 0;
    send({ type: 'audio', on: true });
    $('sound').textContent = 'Sound in the browser: on';
    $('sound').setAttribute('aria-pressed', 'true');
  } else {
    send({ type: 'audio', on: false });
    sound.ctx.close();
    sound.ctx = null;
    sound.delay = null;
    panel.delayMs = null;
    $('sound').textContent = 'Sound in the browser: off';
    $('sound').setAttribute('aria-pressed', 'false');
  }
};
setInterval(() => {
  $('sound-info').textContent = sound.ctx && panel.delayMs !== null ? `${panel.delayMs} ms behind the decoder` : '';
}, 500);

buildKeys();
scheduleRender(['slot', 'drive', 'fn', 'out', 'play']);
connect();
