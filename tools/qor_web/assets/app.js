// The page of qor_web: tiles of every unit, live from /api/v1/events, and a
// unit's slots and controls. Every value shown is one the server reported;
// nothing is assumed from a request until the unit confirms it.
'use strict';

const state = {
  units: new Map(),     // "site/device/unit" -> unit JSON
  devices: [],
  control: false,       // the server accepts control requests
  connected: false,
  requests: new Map(),  // request id -> {cell, timer}
};
const CONFIRM_MS = 10000;
const ARM_MS = 4000;

function $(id) { return document.getElementById(id); }
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}
function key(u) { return u.site + '/' + u.device + '/' + u.unit; }
function token() { return sessionStorage.getItem('qorWebToken') || ''; }
function pick(o, a, b) { return o[a] !== undefined ? o[a] : o[b]; }

function unitAnswering(u) { return u.answering === true; }
function alarmTotal(u) { return (u.alarms && u.alarms.total) || 0; }

// The units each device lists, in order; a unit no device lists is shown
// when no device status has arrived yet.
function configuredUnits() {
  const listed = new Set();
  let any = false;
  for (const d of state.devices) {
    const units = d.units || [];
    any = true;
    for (const n of units) listed.add(d.site + '/' + d.device + '/' + n);
  }
  const all = [...state.units.values()].filter(u => !any || listed.has(key(u)));
  all.sort((a, b) => (a.site < b.site ? -1 : a.site > b.site ? 1 : 0) ||
                     a.device - b.device || a.unit - b.unit);
  return all;
}

function chip(text, cls, title) {
  const c = el('span', 'chip ' + cls, text);
  if (title) c.title = title;
  return c;
}

function renderTile(u) {
  const stale = !u.live;
  const tile = el('article', 'tile');
  tile.id = 'tile-' + key(u).replace(/[^A-Za-z0-9_-]/g, '_');
  tile.dataset.unit = key(u);
  if (alarmTotal(u) > 0 || u.comms === 'failed') tile.classList.add('alarm');
  if (stale || u.comms !== 'ok') tile.classList.add('stale');

  const h = el('h2');
  let commsText = {ok: 'answering', failed: 'not answering',
                   unknown: 'no data'}[u.comms] || u.comms;
  let commsCls = u.comms;
  if (stale) { commsText = 'driver away'; commsCls = 'stale'; }
  h.append(el('span', 'comms ' + commsCls, commsText));
  const a = el('a', null, 'Unit ' + u.unit);
  a.href = '#unit/' + encodeURIComponent(u.site) + '/' + u.device + '/' + u.unit;
  h.append(a);
  h.append(el('span', 'muted', u.location || ''));
  tile.append(h);

  const values = el('div', 'values');
  const t = u.temperature || {};
  const temp = el('div', 'temp' + (t.alarm ? ' alarm' : ''));
  temp.textContent = 'Temperature ' +
      (t.celsius === null || t.celsius === undefined ? '?' : t.celsius) + ' °C' +
      (t.alarm_point_celsius !== null && t.alarm_point_celsius !== undefined
           ? ' (alarm at ' + t.alarm_point_celsius + ' °C)' : '') +
      (t.alarm ? ' ALARM' : '');
  values.append(temp);
  if (u.power_inlets) values.append(el('div', null, 'Inlets ' + u.power_inlets));

  const outputs = el('div', 'row outputs');
  outputs.append(el('span', 'label', 'Outputs'));
  for (const o of u.outputs || []) {
    const cls = o.on === true ? 'on' : o.on === false ? 'off' : 'unknown';
    const c = chip(o.output, cls, 'Output ' + o.output + ': ' +
                   (o.on === true ? 'on' : o.on === false ? 'off' : 'unknown'));
    c.dataset.output = o.output;
    outputs.append(c);
  }
  values.append(outputs);

  const gpis = el('div', 'row gpis');
  gpis.append(el('span', 'label', 'GPIs'));
  for (const g of u.gpis || []) {
    const cls = g.active === true ? 'alarm' : g.active === false ? 'off' : 'unknown';
    gpis.append(chip(g.gpi + (g.polarity === 1 ? '¬' : ''), cls,
                     'GPI ' + g.gpi + ': ' + (g.active ? 'active' : 'normal') +
                     ', polarity ' + g.polarity));
  }
  values.append(gpis);

  const fuses = el('div', 'row fuses');
  fuses.append(el('span', 'label', 'Fuses'));
  for (const f of u.fuses || []) {
    const cls = f.ok === false ? 'alarm' : f.ok === true ? 'off' : 'unknown';
    fuses.append(chip(f.fuse, cls, 'Fuse ' + f.fuse + ': ' +
                      (f.ok === false ? 'blown' : 'ok')));
  }
  values.append(fuses);
  if (u.power_on_sequence !== null && u.power_on_sequence !== undefined)
    values.append(el('div', 'muted', 'Power-on sequence ' + u.power_on_sequence +
                     (u.sequential_delay_seconds !== null &&
                      u.sequential_delay_seconds !== undefined
                          ? ', delay ' + u.sequential_delay_seconds + ' s' : '')));
  tile.append(values);
  return tile;
}

function renderSummary(units) {
  const box = $('summary');
  box.replaceChildren();
  const devices = state.devices.length ? state.devices
      : [...new Set(units.map(u => u.site + '/' + u.device))].map(s => {
          const [site, device] = s.split('/');
          return {site, device: Number(device)};
        });
  for (const d of devices) {
    const mine = units.filter(u => u.site === d.site && u.device === d.device);
    const down = mine.filter(u => !unitAnswering(u)).length;
    const alarms = mine.reduce((n, u) => n + alarmTotal(u), 0);
    const infodriver = pick(d, 'infodriver_connected', 'infodriverConnected');
    const driver = pick(d, 'driver_connected', 'driverConnected');
    let text = 'Device ' + d.device + ' (' + d.site + '): ' + mine.length +
        ' units, ' + down + ' not answering, ' + alarms + ' alarms';
    if (infodriver === false) text += ' — infodriver away' +
        (d.problem ? ': ' + d.problem : '');
    else if (driver === false) text += ' — driver not running';
    const s = el('div', 'device-summary', text);
    s.dataset.device = d.device;
    if (down || alarms || infodriver === false || driver === false)
      s.classList.add('alarm');
    box.append(s);
  }
}

function renderOverview() {
  const units = configuredUnits();
  renderSummary(units);
  const tiles = $('tiles');
  tiles.replaceChildren(...units.map(renderTile));
  $('empty').hidden = units.length > 0;
}

let renderQueued = false;
function render() {
  if (renderQueued) return;
  renderQueued = true;
  requestAnimationFrame(() => {
    renderQueued = false;
    if (currentUnitKey()) renderUnitValues(); else renderOverview();
  });
}

// ---- the unit page ----

let unitDetail = null;  // the unit's JSON with slots, meanings and controls

function currentUnitKey() {
  const m = location.hash.match(/^#unit\/([^/]+)\/(\d+)\/(\d+)$/);
  return m ? decodeURIComponent(m[1]) + '/' + m[2] + '/' + m[3] : null;
}

async function openUnit(k) {
  const [site, device, unit] = k.split('/');
  const r = await fetch('/api/v1/units/' + encodeURIComponent(site) + '/' +
                        device + '/' + unit);
  const body = await r.json();
  if (!r.ok) {
    $('unit-title').textContent = body.error || 'Unit not found';
    unitDetail = null;
    return;
  }
  unitDetail = body;
  $('unit-title').textContent = 'Device ' + device + ', unit ' + unit +
      (body.location ? ' — ' + body.location : '') + ' (' + body.address + ')';
  renderControls();
  renderUnitValues();
}

function controlValueOf(u, name) {
  const slots = u.slots || {};
  const point = (unitDetail.controls || []).find(c => c.name === name);
  return point ? (slots[String(point.slot)] || '') : '';
}

function renderUnitValues() {
  if (!unitDetail) return;
  const k = currentUnitKey();
  const live = state.units.get(k);
  const box = $('unit-state');
  box.replaceChildren();
  if (live) box.append(renderTile(live));
  // Fresh slot texts come with the detail; refetch it on every change of
  // this unit (cheap: one unit) to keep the table exact.
  refreshSlots(k);
}

let slotFetch = null;
async function refreshSlots(k) {
  if (slotFetch) return;
  const [site, device, unit] = k.split('/');
  slotFetch = fetch('/api/v1/units/' + encodeURIComponent(site) + '/' + device +
                    '/' + unit).then(r => r.ok ? r.json() : null);
  const body = await slotFetch.catch(() => null);
  slotFetch = null;
  if (!body || currentUnitKey() !== k) return;
  unitDetail = body;
  const tbody = $('unit-slots').tBodies[0];
  tbody.replaceChildren();
  const meanings = body.slot_meanings || {};
  for (let slot = 1; slot < 100; slot++) {
    const text = (body.slots || {})[String(slot)];
    const meaning = meanings[String(slot)];
    if (!meaning && (text === undefined || text === '')) continue;
    const tr = el('tr');
    tr.append(el('td', null, slot), el('td', null, meaning || ''),
              el('td', null, text === undefined ? '' : text));
    tbody.append(tr);
  }
  for (const c of body.controls || []) {
    const cur = document.querySelector('[data-current="' + c.name + '"]');
    if (cur) cur.textContent = (body.slots || {})[String(c.slot)] || '';
  }
}

function renderControls() {
  const tbody = $('unit-controls').tBodies[0];
  tbody.replaceChildren();
  const note = $('unit-controls-note');
  if (!state.control) {
    note.textContent = 'This server is read-only: control is not enabled.';
  } else if (!token()) {
    note.textContent = 'Enter the control token above to request changes.';
  } else {
    note.textContent = 'Requests go to the driver; the value shows once the ' +
        'unit reports it.';
  }
  for (const c of unitDetail.controls || []) {
    const tr = el('tr');
    tr.dataset.control = c.name;
    const current = el('td', null, controlValueOf(unitDetail, c.name));
    current.dataset.current = c.name;
    const action = el('td');
    const status = el('td', 'status');
    status.dataset.status = c.name;
    if (/^output\/\d+$/.test(c.name)) {
      for (const [label, value] of [['Switch on', '1'], ['Switch off', '0']]) {
        const b = el('button', null, label);
        b.type = 'button';
        b.dataset.value = value;
        armedButton(b, label, () => requestControl(c.name, value, status));
        action.append(b);
      }
    } else {
      const input = el('input');
      input.setAttribute('aria-label', c.name);
      const b = el('button', null, 'Request');
      b.type = 'button';
      b.addEventListener('click', () => requestControl(c.name, input.value, status));
      action.append(input, b);
    }
    tr.append(el('td', null, c.name), current, action, status);
    tbody.append(tr);
  }
}

// Switching an output takes a second click within a few seconds (or holding
// the button for a second): one stray click never switches power.
function armedButton(button, label, fire) {
  let armedUntil = 0, holdTimer = null, resetTimer = null;
  const disarm = () => {
    armedUntil = 0;
    button.classList.remove('arm');
    button.textContent = label;
  };
  button.addEventListener('click', () => {
    if (Date.now() < armedUntil) {
      clearTimeout(resetTimer);
      disarm();
      fire();
      return;
    }
    armedUntil = Date.now() + ARM_MS;
    button.classList.add('arm');
    button.textContent = 'Click again to confirm';
    resetTimer = setTimeout(disarm, ARM_MS);
  });
  button.addEventListener('pointerdown', () => {
    holdTimer = setTimeout(() => {
      holdTimer = null;
      armedUntil = Date.now() + ARM_MS;  // the click that ends the hold fires
    }, 1000);
  });
  for (const ev of ['pointerup', 'pointerleave', 'pointercancel'])
    button.addEventListener(ev, () => { if (holdTimer) clearTimeout(holdTimer); });
}

function showStage(cell, text, cls) {
  cell.textContent = text;
  cell.className = 'status stage-' + cls;
}

async function requestControl(name, value, cell) {
  const k = currentUnitKey();
  const [site, device, unit] = k.split('/');
  if (!token()) { showStage(cell, 'refused: enter the control token first', 'failed'); return; }
  showStage(cell, 'sending…', 'requested');
  let r, body;
  try {
    r = await fetch('/api/v1/units/' + encodeURIComponent(site) + '/' + device +
                    '/' + unit + '/control/' + name, {
      method: 'POST',
      headers: {'Content-Type': 'application/json',
                'Authorization': 'Bearer ' + token()},
      body: JSON.stringify({value: String(value)}),
    });
    body = await r.json();
  } catch (e) {
    showStage(cell, 'not sent: the server cannot be reached', 'failed');
    return;
  }
  if (r.status !== 202) {
    showStage(cell, 'refused: ' + (body.error || r.status), 'failed');
    return;
  }
  showStage(cell, 'requested', 'requested');
  const id = body.id;
  const entry = {cell};
  // The server reports "not confirmed" itself; asking once more after the
  // limit covers an event lost with the connection.
  entry.timer = setTimeout(async () => {
    try {
      const q = await fetch('/api/v1/requests/' + id);
      if (q.ok) controlUpdate(await q.json(), true);
    } catch (e) { /* shown by the connection indicator */ }
  }, CONFIRM_MS + 1500);
  state.requests.set(id, entry);
}

function stageOf(u) { return String(u.stage || '').replace(/_/g, ' '); }

function controlUpdate(u, final) {
  const entry = state.requests.get(u.id);
  if (!entry) return;
  const stage = stageOf(u);
  if (stage === 'confirmed') {
    showStage(entry.cell, 'confirmed: ' + (u.slot_text !== undefined
        ? u.slot_text : u.value), 'confirmed');
  } else if (stage === 'not confirmed') {
    showStage(entry.cell, 'not confirmed' + (u.reason ? ': ' + u.reason : ''), 'failed');
  } else if (stage === 'refused') {
    showStage(entry.cell, 'refused: ' + (u.reason || ''), 'failed');
  } else {
    if (final) showStage(entry.cell, 'not confirmed', 'failed');
    return;
  }
  clearTimeout(entry.timer);
  state.requests.delete(u.id);
}

// ---- the live connection ----

let source = null;
function connect() {
  source = new EventSource('/api/v1/events');
  source.addEventListener('open', () => setConnected(true));
  source.addEventListener('error', () => {
    setConnected(false);
    // The browser retries by itself unless the server refused the stream.
    if (source.readyState === EventSource.CLOSED) {
      source = null;
      setTimeout(connect, 3000);
    }
  });
  source.addEventListener('hello', ev => {
    const hello = JSON.parse(ev.data);
    state.control = !!hello.control;
    state.units.clear();
    showTokenForm();
    setConnected(true);
  });
  source.addEventListener('devices', ev => {
    state.devices = JSON.parse(ev.data);
    render();
  });
  source.addEventListener('unit', ev => {
    const u = JSON.parse(ev.data);
    state.units.set(key(u), u);
    render();
  });
  source.addEventListener('control', ev => controlUpdate(JSON.parse(ev.data), false));
}

function setConnected(up) {
  state.connected = up;
  const c = $('connection');
  c.className = 'connection ' + (up ? 'up' : 'down');
  c.textContent = up ? 'live' : 'connection lost — reconnecting';
  document.body.classList.toggle('offline', !up);
}

function showTokenForm() {
  $('token-form').hidden = !state.control;
  $('readonly').hidden = state.control;
  $('token-forget').hidden = !token();
  $('token-state').textContent = token() ? 'token set for this tab' : '';
}

function route() {
  const k = currentUnitKey();
  $('overview').hidden = !!k;
  $('unit').hidden = !k;
  if (k) openUnit(k); else renderOverview();
}

document.addEventListener('DOMContentLoaded', () => {
  $('token-form').addEventListener('submit', ev => {
    ev.preventDefault();
    const t = $('token').value.trim();
    if (t) sessionStorage.setItem('qorWebToken', t);
    $('token').value = '';
    showTokenForm();
    if (currentUnitKey() && unitDetail) renderControls();
  });
  $('token-forget').addEventListener('click', () => {
    sessionStorage.removeItem('qorWebToken');
    showTokenForm();
    if (currentUnitKey() && unitDetail) renderControls();
  });
  window.addEventListener('hashchange', route);
  route();
  connect();
});
