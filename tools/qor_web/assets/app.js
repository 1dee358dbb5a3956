// The page of qor_web: tiles of every unit, live from /api/v1/events, and a
// unit's slots and controls. Every value shown is one the server reported;
// nothing is assumed from a request until the unit confirms it.
'use strict';

const state = {
  units: new Map(),     // "site/device/unit" -> unit JSON
  devices: [],
  control: null,        // the server accepts control requests; null: not known yet
  connected: false,
};
const CONFIRM_MS = 10000;
const FOLLOW_MS = 5000;
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
// A site whose bridge said it takes no control requests (broker mode).
function siteRefuses(site) {
  return state.devices.some(d => d.site === site && d.site_control === false);
}
function currentSite() { return (currentUnitKey() || '').split('/')[0]; }
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
  h.append(el('span', 'site', u.site));
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
    if (currentUnitKey()) renderUnitTile(); else renderOverview();
  });
}

// ---- the unit page ----

let unitDetail = null;  // the unit's JSON with slots, meanings and controls
let controlsFor = null; // the unit whose control rows are drawn

function currentUnitKey() {
  const m = location.hash.match(/^#unit\/([^/]+)\/(\d+)\/(\d+)$/);
  return m ? decodeURIComponent(m[1]) + '/' + m[2] + '/' + m[3] : null;
}

function unitPath(k) {
  const [site, device, unit] = k.split('/');
  return '/api/v1/units/' + encodeURIComponent(site) + '/' + device + '/' + unit;
}

function openUnit() {
  controlsFor = null;
  unitDetail = null;
  $('unit-title').textContent = 'Loading…';
  $('unit-state').replaceChildren();
  $('unit-controls').tBodies[0].replaceChildren();
  $('unit-slots').tBodies[0].replaceChildren();
  renderNote();
  renderUnitTile();
  loadUnit();
}

// The slot texts come only with the unit's own JSON: it is fetched again on
// every change of the unit, one fetch at a time, and a change that comes
// while one is under way fetches once more after it, so the table never
// stays at an older state than the last change announced.
let loading = false, loadAgain = false;
async function loadUnit() {
  if (loading) { loadAgain = true; return; }
  loading = true;
  try {
    do {
      loadAgain = false;
      const k = currentUnitKey();
      if (!k) break;
      let r, body;
      try {
        r = await fetch(unitPath(k));
        body = await r.json();
      } catch (e) {
        break;  // shown by the connection indicator; the next change retries
      }
      if (currentUnitKey() !== k) { loadAgain = true; continue; }
      showUnit(k, r.ok, body);
    } while (loadAgain);
  } finally {
    loading = false;
  }
}

function showUnit(k, ok, body) {
  if (!ok) {
    $('unit-title').textContent = body.error || 'Unit not found';
    unitDetail = null;
    controlsFor = null;
    $('unit-controls').tBodies[0].replaceChildren();
    return;
  }
  unitDetail = body;
  const [, device, unit] = k.split('/');
  $('unit-title').textContent = 'Device ' + device + ', unit ' + unit +
      (body.location ? ' — ' + body.location : '') + ' (' + body.address + ')';
  if (controlsFor !== k) {
    renderControls(k);
    controlsFor = k;
  }
  const tbody = $('unit-slots').tBodies[0];
  tbody.replaceChildren();
  const slots = body.slots || {};
  const meanings = body.slot_meanings || {};
  for (let slot = 1; slot < 100; slot++) {
    const text = slots[String(slot)];
    const meaning = meanings[String(slot)];
    if (!meaning && (text === undefined || text === '')) continue;
    const tr = el('tr');
    tr.append(el('td', null, slot), el('td', null, meaning || ''),
              el('td', null, text === undefined ? '' : text));
    tbody.append(tr);
  }
  for (const c of body.controls || []) {
    const cur = document.querySelector('[data-current="' + c.name + '"]');
    if (!cur) continue;
    const text = slots[String(c.slot)] || '';
    cur.dataset.value = text;
    cur.textContent = valueWords(c.name, text);
  }
}

function renderUnitTile() {
  const live = state.units.get(currentUnitKey());
  $('unit-state').replaceChildren(...(live ? [renderTile(live)] : []));
}

// An output's slot text in words; other points show their text as it is.
function valueWords(name, text) {
  if (/^output\/\d+$/.test(name))
    return text === '1' ? 'on' : text === '0' ? 'off' : text;
  return text;
}

function renderNote() {
  const note = $('unit-controls-note');
  if (state.control === null) {
    note.textContent = 'Finding out whether this server accepts control…';
  } else if (!state.control) {
    note.textContent = 'This server is read-only: control is not enabled.';
  } else if (siteRefuses(currentSite())) {
    note.textContent = 'Site ' + currentSite() +
        ' is read-only: its bridge takes no control requests.';
  } else if (!token()) {
    note.textContent = 'Enter the control token above to request changes.';
  } else {
    note.textContent = 'Requests go to the driver; the value shows once the ' +
        'unit reports it.';
  }
}

function renderControls(k) {
  const tbody = $('unit-controls').tBodies[0];
  tbody.replaceChildren();
  renderNote();
  for (const c of unitDetail.controls || []) {
    const tr = el('tr');
    tr.dataset.control = c.name;
    const current = el('td');
    current.dataset.current = c.name;
    const action = el('td');
    const status = el('td', 'status');
    status.dataset.status = c.name;
    status.setAttribute('role', 'status');
    if (/^output\/\d+$/.test(c.name)) {
      for (const [label, value] of [['Switch on', '1'], ['Switch off', '0']]) {
        const b = el('button', null, label);
        b.type = 'button';
        b.dataset.value = value;
        armedButton(b, label, () => requestControl(c.name, value));
        action.append(b);
      }
    } else {
      const input = el('input');
      input.setAttribute('aria-label', c.name);
      const b = el('button', null, 'Request');
      b.type = 'button';
      b.addEventListener('click', () => requestControl(c.name, input.value));
      action.append(input, b);
    }
    tr.append(el('td', null, c.name), current, action, status);
    tbody.append(tr);
    // The row is drawn again when the unit is opened again: its latest
    // request still shows.
    const req = control.latest.get(k + '|' + c.name);
    if (req) paint(req, status);
  }
  if (siteRefuses(currentSite()))
    for (const e of tbody.querySelectorAll('button, input')) e.disabled = true;
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

// ---- control requests ----
//
// A status cell shows its latest request only. The server's events name a
// request by its id, which the page learns from the POST's answer; an event
// can come before that answer, so events of ids not yet known are kept (the
// last EARLY_KEPT of them) and applied when an answer names their id.

const FINAL = new Set(['refused', 'confirmed', 'not confirmed', 'expired']);
const EARLY_KEPT = 200;
const control = {
  latest: new Map(),  // "site/device/unit|point" -> its latest request
  byId: new Map(),    // request id -> request still followed
  early: new Map(),   // request id -> its latest event, before the answer
};

function stageOf(u) { return String(u.stage || '').replace(/_/g, ' '); }
function rank(stage) {
  return FINAL.has(stage) ? 3 : stage === 'accepted' ? 2 :
         stage === 'pending' ? 1 : 0;
}

// Writes a request's status into its cell, unless a newer request of the
// same cell has come since.
function show(req, text, cls) {
  req.text = text;
  req.cls = cls;
  if (control.latest.get(req.cell) !== req) return;
  if (currentUnitKey() !== req.unit) return;
  const cell = document.querySelector('[data-status="' + req.name + '"]');
  if (cell) paint(req, cell);
}

function paint(req, cell) {
  cell.textContent = req.text;
  cell.className = 'status stage-' + req.cls;
  if (req.id !== null) cell.dataset.request = req.id; else delete cell.dataset.request;
  cell.dataset.stage = req.stage;
}

// The words for a stage the server reported for |req|.
function stageText(req, u, error) {
  const stage = stageOf(u);
  const reported = u.slot_text !== undefined && u.slot_text !== ''
      ? valueWords(req.name, u.slot_text) : null;
  switch (stage) {
    case 'pending':
      return ['pending: the driver has not answered yet; it may still be ' +
              'carried out', 'requested'];
    case 'accepted':
      return ['accepted: the driver sent it, waiting for the unit to report ' +
              valueWords(req.name, req.value), 'requested'];
    case 'confirmed':
      return ['confirmed: the unit reports ' + (reported || 'the value'),
              'confirmed'];
    case 'not confirmed':
      return ['not confirmed: ' + (u.reason ||
              'the unit did not report the value in time') +
              (reported ? '; it reports ' + reported : '') +
              ' — check the value shown', 'failed'];
    case 'expired':
      return ['expired: never carried out — ' + (u.reason || error ||
              'its deadline passed before it could be sent'), 'failed'];
    case 'refused':
      return ['refused: ' + (u.reason || error || 'the driver refused it'),
              'failed'];
  }
  return [stage + ': not a stage this page knows; check the value shown',
          'uncertain'];
}

// Applies a stage the server reported, from the POST's answer, an event or
// a check; a stage never goes back (events and checks may cross).
function advance(req, u) {
  const stage = stageOf(u);
  if (FINAL.has(req.stage) || rank(stage) <= rank(req.stage)) return;
  req.stage = stage;
  show(req, ...stageText(req, u));
  if (FINAL.has(stage)) finish(req);
}

function finish(req) {
  clearTimeout(req.timer);
  req.timer = null;
  if (req.id !== null) control.byId.delete(req.id);
}

async function requestControl(name, value) {
  const k = currentUnitKey();
  const req = {unit: k, name, cell: k + '|' + name, value: String(value),
               id: null, stage: 'sending', text: '', cls: '', timer: null};
  const older = control.latest.get(req.cell);
  if (older) finish(older);  // its status no longer shows
  control.latest.set(req.cell, req);
  if (!token()) {
    req.stage = 'refused';
    show(req, 'refused: enter the control token first', 'failed');
    return;
  }
  show(req, 'sending…', 'requested');
  let r, body;
  try {
    r = await fetch(unitPath(k) + '/control/' + name, {
      method: 'POST',
      headers: {'Content-Type': 'application/json',
                'Authorization': 'Bearer ' + token()},
      body: JSON.stringify({value: req.value}),
    });
    body = await r.json();
  } catch (e) {
    // The request may have reached the server before the connection broke.
    req.stage = 'unknown';
    show(req, 'no answer from the server: it may or may not have been ' +
         'carried out — check the value shown', 'uncertain');
    return;
  }
  if (r.status !== 202) {
    req.stage = 'refused';
    const about = body.request;
    if (about && about.id) req.id = about.id;
    if (r.status === 429 || (about && about.busy)) {
      show(req, 'not sent, busy: ' + (body.error || 'try again'), 'failed');
    } else if (about && FINAL.has(stageOf(about))) {
      req.stage = stageOf(about);
      show(req, ...stageText(req, about, body.error));
    } else if (r.status >= 500) {
      show(req, 'not sent: ' + (body.error || 'server error ' + r.status), 'failed');
    } else {
      show(req, 'refused: ' + (body.error || 'answer ' + r.status), 'failed');
    }
    return;
  }
  req.id = body.id;
  control.byId.set(req.id, req);
  advance(req, body);
  const early = control.early.get(req.id);
  control.early.delete(req.id);
  if (early) advance(req, early);
  if (!FINAL.has(req.stage)) follow(req, CONFIRM_MS + 1500);
}

// The server reports every stage itself; asking after a while covers
// events lost with the connection. Asked again until the stage is final.
function follow(req, ms) {
  clearTimeout(req.timer);
  req.timer = setTimeout(() => check(req), ms);
}

async function check(req) {
  req.timer = null;
  if (!control.byId.has(req.id)) return;
  try {
    const q = await fetch('/api/v1/requests/' + req.id);
    if (q.ok) {
      advance(req, await q.json());
    } else if (q.status === 404) {
      req.stage = 'unknown';
      show(req, 'unknown: the server no longer knows this request — ' +
           'check the value shown', 'uncertain');
      finish(req);
      return;
    }
  } catch (e) { /* shown by the connection indicator; asked again */ }
  if (control.byId.has(req.id)) follow(req, FOLLOW_MS);
}

function controlEvent(u) {
  const req = control.byId.get(u.id);
  if (req) { advance(req, u); return; }
  // Perhaps the answer to one of this page's POSTs is still on its way.
  control.early.delete(u.id);
  control.early.set(u.id, u);
  if (control.early.size > EARLY_KEPT)
    control.early.delete(control.early.keys().next().value);
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
    state.units.clear();
    setControl(!!hello.control);
    setConnected(true);
    // Stages reported while the stream was away are asked for now.
    for (const req of control.byId.values()) if (req.timer) follow(req, 0);
  });
  source.addEventListener('devices', ev => {
    const refused = siteRefuses(currentSite());
    state.devices = JSON.parse(ev.data);
    if (unitDetail && controlsFor && refused !== siteRefuses(currentSite()))
      renderControls(controlsFor);
    render();
  });
  source.addEventListener('unit', ev => {
    const u = JSON.parse(ev.data);
    state.units.set(key(u), u);
    if (key(u) === currentUnitKey()) loadUnit();
    render();
  });
  source.addEventListener('control', ev => controlEvent(JSON.parse(ev.data)));
}

function setConnected(up) {
  state.connected = up;
  const c = $('connection');
  c.className = 'connection ' + (up ? 'up' : 'down');
  c.textContent = up ? 'live' : 'connection lost — reconnecting';
  document.body.classList.toggle('offline', !up);
}

// Whether the server takes control requests, from the stream's hello or
// from /api/v1/server, whichever comes first: a unit's page opened by its
// address draws its controls before the stream has said anything.
function setControl(on) {
  state.control = on;
  showTokenForm();
  if (currentUnitKey()) renderNote();
}

async function askControl() {
  try {
    const r = await fetch('/api/v1/server');
    if (r.ok) setControl(!!(await r.json()).control);
  } catch (e) { /* the stream's hello says it too */ }
}

function showTokenForm() {
  $('token-form').hidden = state.control !== true;
  $('readonly').hidden = state.control !== false;
  $('token-forget').hidden = !token();
  $('token-state').textContent = token() ? 'token set for this tab' : '';
}

function route() {
  const k = currentUnitKey();
  $('overview').hidden = !!k;
  $('unit').hidden = !k;
  if (k) openUnit(); else renderOverview();
}

document.addEventListener('DOMContentLoaded', () => {
  $('token-form').addEventListener('submit', ev => {
    ev.preventDefault();
    const t = $('token').value.trim();
    if (t) sessionStorage.setItem('qorWebToken', t);
    $('token').value = '';
    showTokenForm();
    if (currentUnitKey()) renderNote();
  });
  $('token-forget').addEventListener('click', () => {
    sessionStorage.removeItem('qorWebToken');
    showTokenForm();
    if (currentUnitKey()) renderNote();
  });
  window.addEventListener('hashchange', route);
  route();
  askControl();
  connect();
});
