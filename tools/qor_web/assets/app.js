// The page of qor_web: every unit, live from /api/v1/events, alarms first
// and in words, and a unit's outputs, settings, switching record and slots.
// Every value shown is one the server reported; nothing is assumed from a
// request until the unit confirms it.
'use strict';

const state = {
  units: new Map(),     // "site/device/unit" -> unit JSON
  devices: [],
  control: null,        // the server accepts control requests; null: not known yet
  connected: false,
  dataAt: null,         // when the server last told this page anything
  who: null,            // {name, role} of the token, once the server said so
  seen: new Map(),      // "site/device/unit" -> what this page saw of it, when
};
const CONFIRM_MS = 10000;
const FOLLOW_MS = 5000;
const ARM_MS = 4000;
const HOLD_MS = 1000;
const AUDIT_SHOWN = 20;

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
function known(v) { return v !== null && v !== undefined; }
function clock(ms) {
  return new Date(ms).toLocaleTimeString('en-GB', {hour12: false});
}
// Sets a text only when it differs: a node read by a screen reader is not
// touched by an update that changes nothing.
function setText(e, text) { if (e.textContent !== text) e.textContent = text; }

function unitAnswering(u) { return u.answering === true; }
// A site whose bridge said it takes no control requests (broker mode).
function siteRefuses(site) {
  return state.devices.some(d => d.site === site && d.site_control === false);
}
function currentSite() { return (currentUnitKey() || '').split('/')[0]; }

// A point as a person reads it: "Output 3 Router A", "GPI 5".
function pointName(kind, number, name) {
  return kind + ' ' + number + (name ? ' ' + name : '');
}
function outputOf(u, n) {
  return (u && (u.outputs || []).find(o => o.output === n)) || null;
}
function outputLabel(u, n) {
  const o = outputOf(u, n);
  return (o && o.name) || 'output ' + n;
}

// ---- what this page saw, and when ----

// Remembers when a unit's values last changed, since when it has not been
// answering and when its temperature alarm came; the server sends states,
// not their history, so these times are those this page saw them at.
function noteUnit(u, now) {
  const k = key(u);
  const old = state.seen.get(k);
  const values = JSON.stringify([u.comms, u.live, u.location, u.temperature,
                                 u.outputs, u.gpis, u.fuses]);
  const seen = old || {values, changedAt: now, since: now, first: true,
                       failingSince: null, tempAlarmAt: null, reasons: ''};
  if (old && old.values !== values) {
    seen.values = values;
    seen.changedAt = now;
    seen.first = false;
  }
  const failing = !u.live || u.comms === 'failed';
  if (failing && !seen.failingSince) seen.failingSince = now;
  if (!failing) seen.failingSince = null;
  const t = u.temperature || {};
  if (t.alarm && !seen.tempAlarmAt) seen.tempAlarmAt = now;
  if (!t.alarm) seen.tempAlarmAt = null;
  state.seen.set(k, seen);
  const reasons = alarmReasons(u).join('; ');
  if (old && reasons !== old.reasons)
    announce('Unit ' + u.unit + (u.location ? ' ' + u.location : '') + ': ' +
             (reasons || 'no alarm'));
  seen.reasons = reasons;
}

function announce(text) {
  const a = $('announce');
  a.textContent = text;
}

// Why a unit is in alarm, in words, most urgent first.
function alarmReasons(u) {
  const seen = state.seen.get(key(u)) || {};
  const since = seen.failingSince ? ' since ' + clock(seen.failingSince) : '';
  const reasons = [];
  if (!u.live) reasons.push('driver away' + since + ': values may be old');
  else if (u.comms === 'failed')
    reasons.push('not answering' + since +
                 (u.comms_cause ? ' — ' + u.comms_cause : ''));
  // One point says its name and state; several of a kind are one reason.
  const group = (points, kind, kinds, number, what) => {
    if (points.length === 1)
      reasons.push(pointName(kind, number(points[0]), points[0].name) + ': ' + what);
    else if (points.length > 1)
      reasons.push(kinds + ' ' + what + ': ' + points.map(
          p => number(p) + (p.name ? ' ' + p.name : '')).join(', '));
  };
  group((u.fuses || []).filter(f => f.ok === false), 'Fuse', 'Fuses', f => f.fuse,
        'blown');
  group((u.gpis || []).filter(g => g.active === true), 'GPI', 'GPIs', g => g.gpi,
        'active');
  const t = u.temperature || {};
  if (t.alarm) {
    const point = known(t.alarm_point_celsius) ? t.alarm_point_celsius : null;
    if (known(t.celsius) && (point === null || t.celsius >= point)) {
      reasons.push(t.celsius + ' °C' +
                   (point !== null ? ', alarm point ' + point + ' °C' : ''));
    } else {
      // The unit's trap said so while the last poll read a lower value.
      reasons.push('temperature alarm from the unit' +
                   (seen.tempAlarmAt ? ' at ' + clock(seen.tempAlarmAt) : '') +
                   '; polled ' + (known(t.celsius) ? t.celsius + ' °C' : '?') +
                   (point !== null ? ', below the alarm point ' + point + ' °C'
                                   : ''));
    }
  }
  return reasons;
}
function inAlarm(u) { return alarmReasons(u).length > 0; }

// ---- the overview ----

const view = {
  mode: 'tiles',   // or 'compact'
  order: 'all',    // 'first': units in alarm first; 'only': only those
};

// The units each device lists, in order; a unit no device lists is shown
// when no device status has arrived yet.
function configuredUnits() {
  const listed = new Set();
  let any = false;
  for (const d of state.devices) {
    any = true;
    for (const n of d.units || []) listed.add(d.site + '/' + d.device + '/' + n);
  }
  const all = [...state.units.values()].filter(u => !any || listed.has(key(u)));
  all.sort((a, b) => (a.site < b.site ? -1 : a.site > b.site ? 1 : 0) ||
                     a.device - b.device || a.unit - b.unit);
  return all;
}

function shownUnits(units) {
  if (view.order === 'only') return units.filter(inAlarm);
  if (view.order === 'first')
    return [...units.filter(inAlarm), ...units.filter(u => !inAlarm(u))];
  return units;
}

// A chip names its point and state for a screen reader; what it shows is
// short.
function chip(shown, cls, name) {
  const c = el('span', 'chip ' + cls);
  c.title = name;
  c.append(el('span', 'sr', name), Object.assign(el('span', null, shown),
                                                  {ariaHidden: 'true'}));
  return c;
}

function onOff(v) { return v === true ? 'on' : v === false ? 'off' : 'unknown'; }

function tileBody(u) {
  const seen = state.seen.get(key(u)) || {};
  const body = el('div', 'values');
  const line = el('p', 'line');
  let commsText = {ok: 'answering', failed: 'not answering',
                   unknown: 'no data'}[u.comms] || u.comms;
  let commsCls = u.comms;
  if (!u.live) { commsText = 'driver away'; commsCls = 'stale'; }
  line.append(el('span', 'comms ' + commsCls, commsText));
  const t = u.temperature || {};
  const temp = el('span', 'temp' + (t.alarm ? ' alarm' : ''),
                  (known(t.celsius) ? t.celsius : '?') + ' °C');
  temp.title = 'temperature' + (known(t.alarm_point_celsius)
      ? ', alarm point ' + t.alarm_point_celsius + ' °C' : '');
  line.append(temp);
  if (seen.changedAt)
    line.append(el('span', 'age', (seen.first ? 'as of ' : 'changed ') +
                   clock(seen.changedAt)));
  body.append(line);

  const reasons = alarmReasons(u);
  if (reasons.length) {
    const list = el('ul', 'reasons');
    list.setAttribute('aria-label', 'In alarm');
    for (const r of reasons) list.append(el('li', null, r));
    body.append(list);
  } else {
    body.append(el('p', 'calm', 'no alarm'));
  }

  const outputs = el('div', 'row outputs');
  outputs.append(el('span', 'label', 'Outputs'));
  for (const o of u.outputs || []) {
    const c = chip(o.name ? o.output + ' ' + o.name : o.output, onOff(o.on),
                   pointName('Output', o.output, o.name) + ': ' + onOff(o.on));
    c.dataset.output = o.output;
    outputs.append(c);
  }
  body.append(outputs);

  const gpis = el('div', 'row gpis');
  gpis.append(el('span', 'label', 'GPIs'));
  for (const g of u.gpis || []) {
    const cls = g.active === true ? 'alarm' : g.active === false ? 'off' : 'unknown';
    const c = chip(g.name ? g.gpi + ' ' + g.name : g.gpi, cls,
                   pointName('GPI', g.gpi, g.name) + ': ' +
                   (g.active === true ? 'active' : g.active === false ? 'normal'
                                                                      : 'unknown') +
                   (g.polarity === 1 ? ', inverted' : ''));
    c.dataset.gpi = g.gpi;
    gpis.append(c);
  }
  body.append(gpis);

  const fuses = el('div', 'row fuses');
  fuses.append(el('span', 'label', 'Fuses'));
  for (const f of u.fuses || []) {
    const cls = f.ok === false ? 'alarm' : f.ok === true ? 'off' : 'unknown';
    const c = chip(f.name ? f.fuse + ' ' + f.name : f.fuse, cls,
                   pointName('Fuse', f.fuse, f.name) + ': ' +
                   (f.ok === false ? 'blown' : f.ok === true ? 'ok' : 'unknown'));
    c.dataset.fuse = f.fuse;
    fuses.append(c);
  }
  body.append(fuses);
  const extra = [];
  if (u.power_inlets) extra.push(u.power_inlets);
  // The inlets' own text is the unit's; their names are the names file's.
  const inlets = (u.power_inlet_names || []).map(i => 'inlet ' + i.inlet + ' ' + i.name);
  if (inlets.length) extra.push('inlets: ' + inlets.join(', '));
  if (known(u.power_on_sequence))
    extra.push('power-on sequence ' + u.power_on_sequence +
               (known(u.sequential_delay_seconds)
                    ? ', ' + u.sequential_delay_seconds + ' s apart' : ''));
  if (extra.length) body.append(el('p', 'extra', extra.join('; ')));
  return body;
}

// A tile keeps its heading and link while its unit lives, and only its
// values are drawn again: a live update never takes the focus away.
function updateTile(tile, u, prefix = 'tile-') {
  const k = key(u);
  if (!tile) {
    tile = el('article', 'tile');
    tile.id = prefix + k.replace(/[^A-Za-z0-9_-]/g, '_');
    tile.dataset.unit = k;
    const h = el('h2');
    h.id = tile.id + '-name';
    tile.setAttribute('aria-labelledby', h.id);
    const a = el('a');
    h.append(a, el('span', 'loc'), el('span', 'site'));
    tile.append(h, el('div', 'values'));
  }
  const a = tile.querySelector('h2 a');
  const href = '#unit/' + encodeURIComponent(u.site) + '/' + u.device + '/' + u.unit;
  if (a.getAttribute('href') !== href) a.setAttribute('href', href);
  setText(a, 'Unit ' + u.unit);
  setText(tile.querySelector('h2 .loc'), u.location || '');
  setText(tile.querySelector('h2 .site'), u.site);
  tile.classList.toggle('alarm', inAlarm(u));
  tile.classList.toggle('stale', !u.live || u.comms !== 'ok');
  const body = tileBody(u);
  const old = tile.querySelector('.values');
  if (old.innerHTML !== body.innerHTML) old.replaceWith(body);
  return tile;
}

function renderSummary(units) {
  const box = $('summary');
  const devices = state.devices.length ? state.devices
      : [...new Set(units.map(u => u.site + '/' + u.device))].map(s => {
          const [site, device] = s.split('/');
          return {site, device: Number(device)};
        });
  const lines = devices.map(d => {
    const mine = units.filter(u => u.site === d.site && u.device === d.device);
    const down = mine.filter(u => !unitAnswering(u)).length;
    const alarmed = mine.filter(inAlarm);
    const infodriver = pick(d, 'infodriver_connected', 'infodriverConnected');
    const driver = pick(d, 'driver_connected', 'driverConnected');
    let text = 'Device ' + d.device + ' (' + d.site + '): ' + mine.length +
        ' units, ' + down + ' not answering, ' +
        (alarmed.length ? alarmed.length + ' in alarm: ' +
             (alarmed.length > 1 ? 'units ' : 'unit ') +
             alarmed.map(u => u.unit).join(', ')
                        : 'none in alarm');
    if (infodriver === false) text += ' — infodriver away' +
        (d.problem ? ': ' + d.problem : '');
    else if (driver === false) text += ' — driver not running';
    const bad = down || alarmed.length || infodriver === false || driver === false;
    return {device: d.device, text, bad: !!bad};
  });
  while (box.children.length > lines.length) box.lastChild.remove();
  lines.forEach((l, i) => {
    let s = box.children[i];
    if (!s) { s = el('p', 'device-summary'); box.append(s); }
    s.dataset.device = l.device;
    setText(s, l.text);
    s.classList.toggle('alarm', l.bad);
  });
}

function renderOverview() {
  const units = configuredUnits();
  renderSummary(units);
  const box = $('tiles');
  const tiles = new Map([...box.children].map(t => [t.dataset.unit, t]));
  const wanted = shownUnits(units).map(u => updateTile(tiles.get(key(u)), u));
  const keep = new Set(wanted);
  for (const t of tiles.values()) if (!keep.has(t)) t.remove();
  // Only tiles out of place move.
  wanted.forEach((t, i) => {
    if (box.children[i] !== t) box.insertBefore(t, box.children[i] || null);
  });
  $('empty').hidden = units.length > 0;
  setText($('empty'), view.order === 'only' && units.length
      ? 'No unit is in alarm.' : 'No configured units.');
  $('empty').hidden = wanted.length > 0;
}

function setView(mode, order, chosen = false) {
  if (mode) view.mode = mode === 'compact' ? 'compact' : 'tiles';
  if (order) view.order = ['first', 'only'].includes(order) ? order : 'all';
  localStorage.setItem('qorWebView', view.mode);
  localStorage.setItem('qorWebOrder', view.order);
  document.body.classList.toggle('compact', view.mode === 'compact');
  $('view-tiles').setAttribute('aria-pressed', String(view.mode === 'tiles'));
  $('view-compact').setAttribute('aria-pressed', String(view.mode === 'compact'));
  $('order').value = view.order;
  // A view chosen here is the address's too, so that a reload keeps it.
  if (chosen) {
    const search = new URLSearchParams(location.search);
    if (view.mode === 'compact') search.set('view', 'compact'); else search.delete('view');
    const query = search.toString();
    history.replaceState(null, '', location.pathname + (query ? '?' + query : '') +
                         location.hash);
  }
  render();
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
  for (const t of ['unit-outputs', 'unit-controls', 'unit-slots', 'unit-audit'])
    $(t).tBodies[0].replaceChildren();
  renderNote();
  renderUnitTile();
  loadUnit();
  loadAudit();
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

// How the driver speaks to the unit: "SNMP v1", "SNMP v2c", "SNMP v3,
// authPriv".
function snmpWords(snmp) {
  if (!snmp || !snmp.version) return '';
  return 'SNMP v' + snmp.version +
         (snmp.security_level ? ', ' + snmp.security_level : '');
}

function showUnit(k, ok, body) {
  if (!ok) {
    $('unit-title').textContent = body.error || 'Unit not found';
    unitDetail = null;
    controlsFor = null;
    $('unit-outputs').tBodies[0].replaceChildren();
    $('unit-controls').tBodies[0].replaceChildren();
    return;
  }
  unitDetail = body;
  const [, device, unit] = k.split('/');
  setText($('unit-title'), 'Device ' + device + ', unit ' + unit +
          (body.location ? ' — ' + body.location : '') + ' (' + body.address +
          (body.snmp ? ', ' + snmpWords(body.snmp) : '') + ')');
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
    setText(cur, valueWords(c.name, text));
  }
  updateControls();
}

function renderUnitTile() {
  const live = state.units.get(currentUnitKey());
  const box = $('unit-state');
  if (!live) { box.replaceChildren(); return; }
  const tile = updateTile(box.firstChild, live, 'unit-tile-');
  if (!tile.parentNode) box.append(tile);
  updateControls();
}

// A slot's text in words; a text that is no known value shows as it is.
function valueWords(name, text) {
  if (/^output\/\d+$/.test(name))
    return text === '1' ? 'on' : text === '0' ? 'off' : text;
  if (/\/polarity$/.test(name))
    return text === '0' ? 'Normal' : text === '1' ? 'Inverted' : text;
  if (/on_delay$|^sequential_delay$/.test(name) && /^\d+$/.test(text))
    return Number(text) / 10 + ' s';
  if (name === 'temperature_alarm_point' && /^\d+$/.test(text))
    return text + ' °C';
  return text;
}

// What a setting is, in words.
function settingWords(name) {
  const u = unitDetail;
  let m = name.match(/^output\/(\d+)\/on_delay$/);
  if (m) return 'On-delay of ' + pointName('output', m[1], (outputOf(u, +m[1]) || {}).name) +
                ', seconds';
  m = name.match(/^gpi\/(\d+)\/polarity$/);
  if (m) {
    const g = ((u && u.gpis) || []).find(x => x.gpi === +m[1]) || {};
    return 'Polarity of ' + pointName('GPI', m[1], g.name);
  }
  return {power_on_sequence: 'Power-on sequence',
          sequential_delay: 'Delay between outputs at power-on, seconds',
          temperature_alarm_point: 'Temperature alarm point, °C',
          location: 'Location'}[name] || name;
}

// Why a control may not be used now, in words; null when it may.
function blockedBy(output, value) {
  const u = state.units.get(currentUnitKey());
  if (state.control === null) return 'finding out whether this server takes control';
  if (!state.control) return 'this server is read-only';
  if (siteRefuses(currentSite()))
    return 'site ' + currentSite() + ' takes no control requests';
  if (!token()) return 'enter a control token above first';
  if (state.who && state.who.role === 'viewer')
    return state.who.name + ' signs in as a viewer, who may watch but not switch';
  if (u && !unitAnswering(u)) return 'the unit is not answering';
  if (output && value === '0') {
    const o = outputOf(u, output);
    if (o && o.protected && state.who && state.who.role !== 'admin')
      return 'protected: only an admin may switch it off';
  }
  return null;
}

function renderNote() {
  const note = $('unit-controls-note');
  let text;
  if (state.control === null) {
    text = 'Finding out whether this server accepts control…';
  } else if (!state.control) {
    text = 'This server is read-only: control is not enabled.';
  } else if (siteRefuses(currentSite())) {
    text = 'Site ' + currentSite() + ' is read-only: its bridge takes no control requests.';
  } else if (!token()) {
    text = 'Enter the control token above to request changes.';
  } else {
    text = 'Requests go to the driver; the value shows once the unit reports it.';
  }
  setText(note, text);
  updateControls();
}

function statusCell(name) {
  const status = el('td', 'status');
  status.dataset.status = name;
  status.setAttribute('role', 'status');
  return status;
}

function reasonOf(id) {
  const r = el('span', 'reason');
  r.id = id;
  return r;
}

function renderControls(k) {
  const outputs = $('unit-outputs').tBodies[0];
  const settings = $('unit-controls').tBodies[0];
  outputs.replaceChildren();
  settings.replaceChildren();
  let row = 0;
  for (const c of unitDetail.controls || []) {
    const tr = el('tr');
    tr.dataset.control = c.name;
    const current = el('td', 'current');
    current.dataset.current = c.name;
    const action = el('td', 'action');
    const m = c.name.match(/^output\/(\d+)$/);
    const reason = reasonOf('reason-' + row++);
    if (m) {
      const head = el('th', 'point');
      head.scope = 'row';
      head.dataset.point = c.name;
      const b = el('button', 'switch');
      b.type = 'button';
      b.setAttribute('aria-describedby', reason.id);
      armedButton(b, () => switchOutput(c.name, +m[1], b.dataset.value));
      const confirm = el('span', 'confirm');
      confirm.hidden = true;
      action.append(b, confirm, reason);
      tr.append(head, current, action, statusCell(c.name));
      outputs.append(tr);
    } else {
      const head = el('th', 'point', settingWords(c.name));
      head.scope = 'row';
      let input;
      if (/\/polarity$/.test(c.name)) {
        input = el('select');
        for (const [v, t] of [['0', 'Normal'], ['1', 'Inverted']]) {
          const o = el('option', null, t);
          o.value = v;
          input.append(o);
        }
      } else if (c.name === 'location') {
        input = el('input');
        input.maxLength = 255;
      } else {
        input = el('input');
        input.type = 'number';
        input.min = 0;
        input.step = 1;
      }
      input.setAttribute('aria-label', settingWords(c.name));
      const b = el('button', null, 'Set');
      b.type = 'button';
      const what = settingWords(c.name).replace(/, [^,]*$/, '');
      b.setAttribute('aria-label', 'Set ' + what[0].toLowerCase() + what.slice(1));
      b.setAttribute('aria-describedby', reason.id);
      // Delays are asked in seconds; the unit's slot holds tenths.
      const tenths = /on_delay$|^sequential_delay$/.test(c.name);
      b.addEventListener('click', () => requestControl(
          c.name, tenths && /^\d+$/.test(input.value.trim())
              ? String(Number(input.value.trim()) * 10) : input.value));
      action.append(input, b, reason);
      tr.append(head, current, action, statusCell(c.name));
      settings.append(tr);
    }
    // The row is drawn again when the unit is opened again: its latest
    // request still shows.
    const req = control.latest.get(k + '|' + c.name);
    if (req) paint(req, tr.querySelector('[data-status]'));
  }
  renderNote();
}

// Brings every control row to the unit's reported state and what the
// token may do, in place: a focused button stays where it is.
function updateControls() {
  const u = state.units.get(currentUnitKey());
  for (const tr of $('unit-outputs').tBodies[0].rows) {
    const name = tr.dataset.control;
    const n = Number(name.split('/')[1]);
    const o = outputOf(u, n);
    const label = outputLabel(u, n);
    setText(tr.querySelector('th'), pointName('Output', n, o && o.name) +
            (o && o.protected ? ' (protected)' : ''));
    const on = o ? o.on : null;
    const cur = tr.querySelector('[data-current]');
    if (o && known(on) && !cur.dataset.value) setText(cur, onOff(on));
    const b = tr.querySelector('button.switch');
    const value = on === true ? '0' : '1';
    if (b.dataset.value !== value || b.dataset.label !== label) {
      b.dataset.value = value;
      b.dataset.label = label;
      b.disarm();
    }
    b.classList.toggle('is-on', on === true);
    const blocked = blockedBy(n, value);
    b.disabled = !!blocked;
    setText(tr.querySelector('.reason'), blocked || '');
  }
  for (const tr of $('unit-controls').tBodies[0].rows) {
    const blocked = blockedBy(null, null);
    for (const e of tr.querySelectorAll('button, input, select')) e.disabled = !!blocked;
    setText(tr.querySelector('.reason'), blocked || '');
  }
}

// Switching an output takes a second click within a few seconds, or
// holding the button for a second, which a bar on it shows: one stray click
// never switches power.
function armedButton(button, fire) {
  let armedUntil = 0, holdTimer = null, resetTimer = null;
  const words = () => 'Switch ' + button.dataset.label + ' ' +
      (button.dataset.value === '1' ? 'on' : 'off');
  const arm = () => {
    armedUntil = Date.now() + ARM_MS;
    button.classList.add('arm');
    button.textContent = 'Click again to ' + words().toLowerCase();
    clearTimeout(resetTimer);
    resetTimer = setTimeout(button.disarm, ARM_MS);
  };
  button.disarm = () => {
    armedUntil = 0;
    clearTimeout(resetTimer);
    button.classList.remove('arm', 'holding');
    setText(button, words());
  };
  button.addEventListener('click', () => {
    if (Date.now() < armedUntil) {
      button.disarm();
      fire();
      return;
    }
    arm();
  });
  button.addEventListener('pointerdown', () => {
    button.classList.add('holding');
    holdTimer = setTimeout(() => {
      holdTimer = null;
      arm();  // the click that ends the hold fires
    }, HOLD_MS);
  });
  for (const ev of ['pointerup', 'pointerleave', 'pointercancel'])
    button.addEventListener(ev, () => {
      button.classList.remove('holding');
      if (holdTimer) clearTimeout(holdTimer);
      holdTimer = null;
    });
}

// Switching a protected output off asks the admin to type its name first;
// the server checks the name again.
function switchOutput(name, n, value) {
  const u = state.units.get(currentUnitKey());
  const o = outputOf(u, n);
  if (!(o && o.protected && value === '0')) {
    requestControl(name, value);
    return;
  }
  const row = document.querySelector('tr[data-control="' + name + '"]');
  const box = row.querySelector('.confirm');
  const label = outputLabel(u, n);
  const input = el('input');
  input.id = 'confirm-' + n;
  input.autocomplete = 'off';
  const l = el('label', null, 'Type ' + label + ' to switch it off');
  l.htmlFor = input.id;
  const go = el('button', null, 'Switch ' + label + ' off now');
  go.type = 'button';
  const cancel = el('button', null, 'Cancel');
  cancel.type = 'button';
  const close = () => { box.hidden = true; box.replaceChildren(); };
  go.addEventListener('click', () => {
    const typed = input.value;
    close();
    requestControl(name, '0', typed);
  });
  cancel.addEventListener('click', close);
  box.replaceChildren(l, input, go, cancel);
  box.hidden = false;
  input.focus();
}

// The switching actions of the unit, newest first, from the device's
// audit trail: one line per request, with its latest outcome.
async function loadAudit() {
  const k = currentUnitKey();
  const note = $('audit-note');
  const body = $('unit-audit').tBodies[0];
  if (!k) return;
  if (!token()) {
    setText(note, 'Enter a token above to see who switched what.');
    body.replaceChildren();
    return;
  }
  const [, device, unit] = k.split('/');
  let r, answer;
  try {
    r = await fetch('/api/v1/audit?device=' + device,
                    {headers: {'Authorization': 'Bearer ' + token()}});
    answer = await r.json();
  } catch (e) {
    setText(note, 'The record could not be read now.');
    return;
  }
  if (currentUnitKey() !== k) return;
  if (!r.ok) {
    setText(note, plainRefusal(r.status, answer.error));
    body.replaceChildren();
    return;
  }
  const byRequest = new Map();
  for (const rec of answer.records || []) {
    if (String(rec.unit) !== unit || !/^output\/\d+$/.test(rec.point || '')) continue;
    const id = rec.request + '|' + rec.via;
    const first = byRequest.get(id);
    byRequest.delete(id);  // kept in the order of its latest line
    byRequest.set(id, first ? {...first, outcome: rec.outcome, reason: rec.reason}
                            : rec);
  }
  const rows = [...byRequest.values()].reverse().slice(0, AUDIT_SHOWN);
  setText(note, rows.length ? 'The last ' + rows.length + ', newest first.'
                            : 'No switching action of this unit is on record.');
  body.replaceChildren(...rows.map(rec => {
    const tr = el('tr');
    const n = Number(rec.point.split('/')[1]);
    const time = rec.time ? new Date(rec.time) : null;
    tr.append(el('td', null, time && !isNaN(time) ? time.toLocaleString('en-GB') : rec.time),
              el('td', null, pointName('Output', n, rec.name)),
              el('td', null, valueWords(rec.point, String(rec.value))),
              el('td', null, (rec.who || '') + ' (' + (rec.via || '') + ')'),
              el('td', null, rec.from || ''),
              el('td', null, (rec.outcome || '') + (rec.reason ? ': ' + rec.reason : '')));
    return tr;
  }));
}

// A refusal in plain words: what a script sends is left out.
function plainRefusal(status, error) {
  if (status === 401)
    return 'this token is not known to this server: enter yours above';
  return String(error || 'refused (' + status + ')')
      .replace(/[,:;]?\s*send \{.*$/, '')
      .replace(/\s*\(?send Authorization.*$/, '');
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
  if (req.unit === currentUnitKey()) loadAudit();
}

async function requestControl(name, value, confirm) {
  const k = currentUnitKey();
  const req = {unit: k, name, cell: k + '|' + name, value: String(value),
               id: null, stage: 'sending', text: '', cls: '', timer: null};
  const older = control.latest.get(req.cell);
  if (older) finish(older);  // its status no longer shows
  control.latest.set(req.cell, req);
  if (!token()) {
    req.stage = 'refused';
    show(req, 'refused: enter a control token first', 'failed');
    return;
  }
  show(req, 'sending…', 'requested');
  let r, body;
  try {
    r = await fetch(unitPath(k) + '/control/' + name, {
      method: 'POST',
      headers: {'Content-Type': 'application/json',
                'Authorization': 'Bearer ' + token()},
      body: JSON.stringify(confirm === undefined ? {value: req.value}
                                                 : {value: req.value, confirm}),
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
      show(req, 'not sent: ' + (body.error || 'the server failed'), 'failed');
    } else {
      show(req, 'refused: ' + plainRefusal(r.status, body.error), 'failed');
    }
    loadAudit();
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
    heard();
    if (unitDetail && controlsFor && refused !== siteRefuses(currentSite()))
      renderNote();
    render();
  });
  source.addEventListener('unit', ev => {
    const u = JSON.parse(ev.data);
    state.units.set(key(u), u);
    noteUnit(u, heard());
    if (key(u) === currentUnitKey()) loadUnit();
    render();
  });
  source.addEventListener('control', ev => {
    heard();
    controlEvent(JSON.parse(ev.data));
  });
}

function heard() {
  state.dataAt = Date.now();
  return state.dataAt;
}

// While the connection is lost every unit is greyed and the header says
// how old what is shown is.
function setConnected(up) {
  if (up) heard();
  state.connected = up;
  const c = $('connection');
  c.className = 'connection ' + (up ? 'up' : 'down');
  setText(c, up ? 'live' : 'connection lost, reconnecting' +
          (state.dataAt ? ' — data as of ' + clock(state.dataAt) : ''));
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

function showTokenForm(text) {
  $('token-form').hidden = state.control !== true;
  $('readonly').hidden = state.control !== false;
  $('token-forget').hidden = !token();
  if (text !== undefined) setText($('token-state'), text);
  else if (!token()) setText($('token-state'), '');
}

// Asks the server whose a token is; a token it does not know is not kept.
async function checkToken(t) {
  let r, body;
  try {
    r = await fetch('/api/v1/whoami', {headers: {'Authorization': 'Bearer ' + t}});
    body = await r.json();
  } catch (e) {
    sessionStorage.setItem('qorWebToken', t);
    state.who = null;
    showTokenForm('token kept; the server could not be asked whose it is');
    return;
  }
  if (r.ok) {
    sessionStorage.setItem('qorWebToken', t);
    state.who = {name: String(body.name), role: String(body.role)};
    showTokenForm('signed in as ' + state.who.name + ' (' + state.who.role + ')');
  } else {
    if (token() === t) sessionStorage.removeItem('qorWebToken');
    state.who = null;
    showTokenForm('not signed in: ' + plainRefusal(r.status, body.error));
  }
}

async function useToken(t) {
  await checkToken(t);
  if (currentUnitKey()) { renderNote(); loadAudit(); }
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
    $('token').value = '';
    if (t) useToken(t);
  });
  $('token-forget').addEventListener('click', () => {
    sessionStorage.removeItem('qorWebToken');
    state.who = null;
    showTokenForm('');
    if (currentUnitKey()) { renderNote(); loadAudit(); }
  });
  $('view-tiles').addEventListener('click', () => setView('tiles', null, true));
  $('view-compact').addEventListener('click', () => setView('compact', null, true));
  $('order').addEventListener('change', () => setView(null, $('order').value, true));
  // /?view=compact opens the compact view; otherwise the last one chosen.
  const asked = new URLSearchParams(location.search).get('view');
  setView(asked || localStorage.getItem('qorWebView') || 'tiles',
          localStorage.getItem('qorWebOrder') || 'all');
  window.addEventListener('hashchange', route);
  route();
  askControl();
  if (token()) useToken(token());
  connect();
});
