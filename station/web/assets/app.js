// The station's page: tiles per slot, kept live from the event stream.
// Every text from the station (and so from the devices: serial numbers)
// goes in through textContent, never as markup.
'use strict';

const STATES = { waiting: 'WAITING', running: 'RUNNING', success: 'SUCCESS', failed: 'FAILED', 'not-a-slot': 'NOT A SLOT' };
const tiles = new Map();
let last = null;      // the last state received
let receivedAt = 0;   // when, by this page's clock

function el(tag, cls, parent) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (parent) parent.appendChild(e);
  return e;
}

function text(id, value) {
  const e = document.getElementById(id);
  if (e.textContent !== value) e.textContent = value;
}

function duration(seconds) {
  seconds = Math.max(0, Math.floor(seconds));
  const h = Math.floor(seconds / 3600), m = Math.floor((seconds % 3600) / 60), s = seconds % 60;
  const two = (n) => String(n).padStart(2, '0');
  return h > 0 ? `${h}:${two(m)}:${two(s)}` : `${m}:${two(s)}`;
}

function bytes(n) {
  if (n >= 1048576) return (n / 1048576).toFixed(1) + ' MiB';
  if (n >= 1024) return (n / 1024).toFixed(1) + ' KiB';
  return n + ' B';
}

function makeTile() {
  const t = el('section', 'tile waiting');
  const parts = {
    root: t,
    name: el('h2', 'name', t),
    where: el('div', 'where', t),
    serial: el('div', 'serial', t),
    state: el('div', 'state', t),
    bar: el('div', 'bar', t),
    info: el('div', 'line', t),
    foot: el('div', 'line', t),
  };
  parts.fill = el('div', 'fill', parts.bar);
  parts.result = el('span', 'result', parts.info);
  parts.elapsed = el('span', 'elapsed', parts.info);
  parts.attempt = el('span', 'attempt', parts.foot);
  parts.counts = el('span', 'counts', parts.foot);
  return parts;
}

function set(node, value) {
  if (node.textContent !== value) node.textContent = value;
}

function fillTile(p, s, ageSeconds) {
  const state = Object.prototype.hasOwnProperty.call(STATES, s.state) ? s.state : 'waiting';
  p.root.className = 'tile ' + state;
  p.root.dataset.key = s.key;
  p.root.dataset.state = state;
  set(p.name, s.label || s.location || s.port || s.key);
  const where = [s.label ? s.location : '', s.port].filter(Boolean).join(' · ');
  set(p.where, where);
  set(p.serial, s.serial ? 'S/N ' + s.serial : '');
  set(p.state, STATES[state]);
  const percent = s.total > 0 ? Math.min(100, (100 * s.position) / s.total) : (state === 'success' ? 100 : 0);
  p.fill.style.width = percent.toFixed(1) + '%';
  p.bar.title = s.total > 0 ? `${s.position} / ${s.total} bytes` : '';
  set(p.result, s.result || '');
  const elapsed = s.elapsed_s + (state === 'running' ? ageSeconds : 0);
  set(p.elapsed, s.attempt > 0 || state === 'running' ? duration(elapsed) : '');
  let attempt = '';
  if (s.attempt > 0) attempt = s.retries > 0 ? `attempt ${s.attempt} of ${s.retries + 1}` : `attempt ${s.attempt}`;
  set(p.attempt, attempt);
  set(p.counts, `✓ ${s.successes}  ✗ ${s.failures}`);
}

function render() {
  if (!last) return;
  const age = (Date.now() - receivedAt) / 1000;
  const st = last.station, sc = last.script, tot = last.totals;
  text('script-name', sc.name || '–');
  text('script-size', sc.size ? bytes(sc.size) : '');
  text('script-sha', sc.sha256 ? sc.sha256.slice(0, 12) : '');
  document.getElementById('script-sha').title = sc.sha256 || '';
  text('passed', String(tot.passed));
  text('failed', String(tot.failed));
  text('rate', tot.units_per_hour.toFixed(1));
  text('host', st.host || '–');
  text('uptime', duration(st.uptime_s + age));
  document.getElementById('log-warning').hidden = st.log_writable;
  const main = document.getElementById('tiles');
  const seen = new Set();
  last.slots.forEach((s, index) => {
    seen.add(s.key);
    let p = tiles.get(s.key);
    if (!p) {
      p = makeTile();
      tiles.set(s.key, p);
    }
    fillTile(p, s, age);
    if (main.children[index] !== p.root) main.insertBefore(p.root, main.children[index] || null);
  });
  for (const [key, p] of tiles) {
    if (!seen.has(key)) {
      p.root.remove();
      tiles.delete(key);
    }
  }
  document.getElementById('empty').hidden = last.slots.length > 0;
}

function link(up) {
  const e = document.getElementById('link');
  e.className = 'link ' + (up ? 'up' : 'down');
  e.textContent = up ? 'live' : 'reconnecting…';
}

function connect() {
  const events = new EventSource('/api/v1/events');
  events.addEventListener('open', () => link(true));
  events.addEventListener('error', () => link(false));
  // The first message after every (re)connect is the whole state, so the
  // page never shows what it missed while the link was down.
  events.addEventListener('state', (e) => {
    last = JSON.parse(e.data);
    receivedAt = Date.now();
    link(true);
    render();
  });
}

connect();
setInterval(render, 1000);
