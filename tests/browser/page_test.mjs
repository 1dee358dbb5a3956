// Drives Debian's chromium (headless, through puppeteer-core; no browser is
// downloaded) through the qor_web page of a running rig of forty units:
// every unit shown, alarms in words, names, a trap's change arriving
// without a reload and without taking the focus, controls disabled with
// their reason, tokens checked at once, an output switched with its
// confirmation, a protected one switched off by an admin who names it,
// twenty switches whose confirmations arrive before the POSTs' answers, the
// compact view of all forty units on one screen, nothing wider than a
// phone, axe-core's checks, the greyed page while qor_web is away and its
// recovery, screenshots saved.
//
// Environment (set by web_browser_test): QOR_WEB_URL, QOR_WEB_TOKEN (an
// operator's), QOR_WEB_ADMIN_TOKEN (ops-anna, admin), QOR_WEB_VIEWER_TOKEN,
// QOR_WEB_UNITS, QOR_WEB_UNIT_HASH (the hash of unit 1's page),
// QOR_WEB_TRAP, QOR_WEB_TRAP3 (shell lines sending a trap from unit 2 or 3,
// kind appended), QOR_WEB_GET_OUTPUT (shell line printing one of unit 1's
// output states, the output's number appended), QOR_WEB_PID and
// QOR_WEB_COMMAND (qor_web's pid, and the shell line that starts it again),
// QOR_WEB_SCREENSHOTS (folder).
import {execSync, spawn} from 'node:child_process';
import {mkdirSync} from 'node:fs';
import axe from 'axe-core';
import puppeteer from 'puppeteer-core';

const env = process.env;
const url = env.QOR_WEB_URL;
const units = Number(env.QOR_WEB_UNITS);
const shots = env.QOR_WEB_SCREENSHOTS;
mkdirSync(shots, {recursive: true});

function step(text) { console.log('-- ' + text); }
function sh(line) { return execSync(line, {encoding: 'utf8'}).trim(); }
function output(n) { return sh(env.QOR_WEB_GET_OUTPUT + n); }
function output1() { return output(1); }
async function until(what, fn, ms = 30000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise(r => setTimeout(r, 100));
  }
}

// Runs in the page before app.js. While window.qorHold is set, a control
// POST's answer reaches the page only after the page's own event stream has
// delivered that request's final stage (the race a busy server produces
// now and then, made certain), and the late GET checks of a request fail,
// so only the event can complete a status.
function holdAnswers() {
  const finals = new Set(['refused', 'confirmed', 'not confirmed', 'expired']);
  const done = new Set();
  const Real = window.EventSource;
  window.EventSource = class extends Real {
    constructor(...args) {
      super(...args);
      this.addEventListener('control', ev => {
        const u = JSON.parse(ev.data);
        if (finals.has(u.stage)) done.add(u.id);
      });
    }
  };
  const realFetch = window.fetch;
  window.fetch = async (input, init) => {
    if (!window.qorHold) return realFetch(input, init);
    if (/\/api\/v1\/requests\//.test(String(input)))
      throw new TypeError('late checks are held back by the test');
    const r = await realFetch(input, init);
    if (r.status !== 202) return r;
    const {id} = await r.clone().json();
    for (let i = 0; i < 300 && !done.has(id); i++)
      await new Promise(ok => setTimeout(ok, 50));
    // A task of its own: the event's dispatch to every listener is over.
    await new Promise(ok => setTimeout(ok, 0));
    return r;
  };
}

// The tile of unit |n| on the overview, as text.
function tileText(n) {
  const t = [...document.querySelectorAll('#tiles .tile')]
      .find(e => e.querySelector('h2 a').textContent === 'Unit ' + n);
  return t ? t.textContent : '';
}

// Serious and critical findings of axe-core on what |p| shows now.
async function axeFindings(p, what) {
  await p.addScriptTag({content: axe.source});
  const found = await p.evaluate(async () => {
    const r = await window.axe.run(document, {resultTypes: ['violations']});
    return r.violations.filter(v => ['serious', 'critical'].includes(v.impact))
        .map(v => v.id + ': ' + v.nodes.slice(0, 3).map(n => n.target).join(' | '));
  });
  if (found.length) throw new Error('axe on ' + what + ': ' + found.join('; '));
}

// Every button, link, field and chip has a name a screen reader says.
async function namesOfControls(p) {
  const tree = await p.accessibility.snapshot({interestingOnly: true});
  const all = [];
  (function walk(n) {
    all.push(n);
    for (const c of n.children || []) walk(c);
  })(tree);
  const roles = new Set(['button', 'link', 'textbox', 'combobox', 'spinbutton']);
  const nameless = all.filter(n => roles.has(n.role) && !String(n.name || '').trim());
  if (nameless.length)
    throw new Error('controls without a name: ' + JSON.stringify(nameless));
  return all.map(n => n.role + ':' + n.name);
}

async function noSidewaysOverflow(p, what) {
  const wide = await p.evaluate(() =>
      document.documentElement.scrollWidth - document.documentElement.clientWidth);
  if (wide > 0) throw new Error(what + ' is ' + wide + ' px wider than the phone');
}

const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
         '--no-first-run', '--disable-extensions'],
});
let failed = false;
let restarted = null;
const page = await browser.newPage();
try {
  await page.setViewport({width: 1400, height: 900});
  const external = [];
  page.on('request', r => { if (!r.url().startsWith(url)) external.push(r.url()); });
  const problems = [];
  // The refusals the test asks for itself (400, 401, 403) and the lost
  // connection while qor_web is away are no page errors.
  let away = false;
  page.on('console', m => {
    if (m.type() === 'error' && !/status of 40[013]/.test(m.text()) &&
        !(away && /ERR_CONNECTION_REFUSED|net::/.test(m.text())))
      problems.push(m.text());
  });
  page.on('pageerror', e => problems.push(String(e)));
  await page.evaluateOnNewDocument(holdAnswers);
  await page.evaluateOnNewDocument(`window.tileText = ${tileText}`);

  step('every unit shown, live, with its alarms in words and names');
  await page.goto(url, {waitUntil: 'domcontentloaded'});
  await page.evaluate(() => { window.loadedOnce = 'yes'; });
  await page.waitForFunction(n =>
      document.querySelectorAll('.tile').length === n &&
      document.querySelectorAll('.tile .comms.ok').length === n &&
      document.getElementById('connection').textContent === 'live',
      {timeout: 90000}, units);
  // Outputs are switched once the units' walks have reported them (the
  // driver finds an output's row only then).
  await page.waitForFunction(n =>
      document.querySelectorAll('.tile .outputs .chip[data-output="1"]').length === n,
      {timeout: 90000}, units);
  const names = await page.$$eval('.tile h2 a', as => as.map(a => a.textContent));
  if (names.length !== units) throw new Error('tiles: ' + names);
  // Each tile names its site: one page may show several.
  const site = decodeURIComponent(env.QOR_WEB_UNIT_HASH.split('/')[1]);
  const sites = await page.$$eval('.tile h2 .site', s => s.map(e => e.textContent));
  if (sites.length !== units || sites.some(s => s !== site))
    throw new Error('tile sites: ' + sites);
  // The simulated unit 8 is over its alarm point of 47 °C from its first
  // walk; the device's summary lists it.
  await page.waitForFunction(() => /\d+ °C, alarm point 47 °C/.test(
      [...document.querySelectorAll('#tiles .tile')]
          .find(e => e.querySelector('h2 a').textContent === 'Unit 8').textContent));
  const summary = await page.$eval('#summary', e => e.textContent);
  if (!/in alarm: units? [\d, ]*\b8\b/.test(summary)) throw new Error('summary: ' + summary);
  await page.waitForFunction(() =>
      /Output 1 Router A: (on|off)/.test(document.querySelector(
          '#tiles .tile .outputs .chip[data-output="1"]').textContent));

  step("a trap's change appears without reload, in words");
  sh(env.QOR_WEB_TRAP + ' temp-alarm 61');
  sh(env.QOR_WEB_TRAP3 + ' alarm 25 2 5 1 0');
  sh(env.QOR_WEB_TRAP3 + ' temp-alarm 40');
  await page.waitForFunction(() => {
    const two = tileText(2), three = tileText(3);
    return /61 °C, alarm point 47 °C/.test(two) &&
        /GPI 5 Door open: active|GPIs active: [^;]*\b5 Door open\b/.test(three) &&
        /temperature alarm from the unit at \d\d:\d\d:\d\d; polled 40 °C, below the alarm point 47 °C/
            .test(three);
  }, {timeout: 30000});
  if (await page.evaluate(() => window.loadedOnce) !== 'yes')
    throw new Error('the page was reloaded');

  step('focus kept across twenty live updates');
  await page.focus('#tiles .tile[data-unit$="/2"] h2 a');
  for (let i = 0; i < 20; i++) {
    sh(env.QOR_WEB_TRAP + ' temp-alarm ' + (62 + i));
    await page.waitForFunction(c => tileText(2).includes(c + ' °C'), {timeout: 20000},
                               62 + i);
    const focused = await page.evaluate(() =>
        document.activeElement.closest('.tile')?.dataset.unit);
    if (!/\/2$/.test(focused || '')) throw new Error(`update ${i} moved the focus to ` + focused);
  }

  step('the compact view shows all forty units on one screen');
  // Each view in a page of its own, closed after: a page left behind keeps
  // its event stream, and chromium opens at most six connections to a host.
  const views = [['overview', url + '?view=tiles'], ['unit', url + env.QOR_WEB_UNIT_HASH],
                 ['compact', url + '?view=compact']];
  const open = async (address, w, h) => {
    const p = await browser.newPage();
    await p.setBypassCSP(true);  // axe-core is injected into the page
    p.on('pageerror', e => problems.push(String(e)));
    await p.setViewport({width: w, height: h});
    await p.goto(address, {waitUntil: 'domcontentloaded'});
    return p;
  };
  for (const [w, h] of [[1920, 1080], [390, 844]]) {
    for (const [what, address] of views) {
      const look = await open(address, w, h);
      await look.waitForFunction(n =>
          document.getElementById('connection').textContent === 'live' &&
          (location.hash ? !!document.querySelector('#unit-state .tile') &&
                           !!document.querySelector('tr[data-control="output/1"]')
                         : document.querySelectorAll('.tile .comms.ok').length >= n - 1),
          {timeout: 30000}, units);
      await look.evaluate(() => new Promise(r => requestAnimationFrame(r)));
      if (what === 'compact' && w === 1920) {
        const seen = await look.evaluate(() => [...document.querySelectorAll('#tiles .tile')]
            .filter(t => {
              const r = t.getBoundingClientRect();
              return r.top >= 0 && r.bottom <= innerHeight && r.right <= innerWidth;
            }).length);
        if (seen !== units) throw new Error(`compact view: ${seen} of ${units} units on screen`);
      }
      if (w === 390) await noSidewaysOverflow(look, what);
      if (w === 1920) {
        await axeFindings(look, what);
        // The dark theme's colours meet the same contrast.
        await look.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'dark'}]);
        await axeFindings(look, what + ' (dark)');
        await look.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'light'}]);
      }
      await look.screenshot({path: `${shots}/${what}_${w}x${h}.png`});
      await look.close();
    }
  }
  // The view chosen is remembered: the address without ?view= opens it.
  const again = await open(url, 1400, 900);
  if (!await again.evaluate(() => document.body.classList.contains('compact')))
    throw new Error('the compact view was not remembered');
  await again.click('#view-tiles');
  await again.close();

  step('controls disabled with their reason; tokens checked at once');
  const before = output1();
  const flipped = before === '1' ? '0' : '1';
  const status = await page.evaluate(async (hash, value) => {
    const [, site, device, unit] = hash.split('/');
    const r = await fetch('/api/v1/units/' + site + '/' + device + '/' + unit +
                          '/control/output/1', {
      method: 'POST', headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({value})});
    return r.status;
  }, env.QOR_WEB_UNIT_HASH, flipped);
  if (status !== 401) throw new Error('without the token: ' + status);
  await page.evaluate(h => { location.hash = h; }, env.QOR_WEB_UNIT_HASH);
  await page.waitForSelector('tr[data-control="output/1"] button');
  const button = `tr[data-control="output/1"] button[data-value="${flipped}"]`;
  await page.waitForSelector(button);
  const why = async () => page.$eval('tr[data-control="output/1"]', tr =>
      [tr.querySelector('button').disabled, tr.querySelector('.reason').textContent]);
  let [off, reason] = await why();
  if (!off || !/token/.test(reason)) throw new Error('without a token: ' + [off, reason]);
  const signIn = async (t, words) => {
    await page.type('#token', t);
    await page.click('#token-use');
    await page.waitForFunction(w => new RegExp(w).test(
        document.getElementById('token-state').textContent), {}, words);
  };
  await signIn('not-a-token-of-this-server', 'not signed in: this token is not known');
  await signIn(env.QOR_WEB_VIEWER_TOKEN, 'signed in as wall \\(viewer\\)');
  [off, reason] = await why();
  if (!off || !/viewer/.test(reason)) throw new Error('a viewer: ' + [off, reason]);
  await signIn(env.QOR_WEB_TOKEN, 'signed in as token \\(operator\\)');

  step('every control and chip named, with its state');
  const spoken = await namesOfControls(page);
  const want = [`button:Switch Router A ${flipped === '1' ? 'on' : 'off'}`,
                'button:Set polarity of GPI 5 Door open', 'textbox:Location'];
  for (const w of want)
    if (!spoken.includes(w)) throw new Error(`no "${w}" among ` + spoken.join(', '));
  if (!spoken.some(n => /^(StaticText|text):Output 1 Router A: (on|off)$/.test(n)) &&
      !await page.$eval('#unit-state .chip[data-output="1"] .sr', e =>
          /^Output 1 Router A: (on|off)$/.test(e.textContent)))
    throw new Error('the chip of output 1 does not say its name and state');

  step('an output switched with its confirmation');
  await page.click(button);
  const armed = await page.$eval(button, b => b.textContent);
  if (!/again/.test(armed)) throw new Error('one click did not ask again: ' + armed);
  await new Promise(r => setTimeout(r, 1500));
  if (output1() !== before) throw new Error('one click switched the output');
  await page.click(button);
  await page.waitForFunction(() =>
      /confirmed/.test(document.querySelector('[data-status="output/1"]').textContent),
      {timeout: 20000});
  const shown = await page.$eval('[data-status="output/1"]', c => c.textContent);
  if (!/^confirmed: /.test(shown)) throw new Error('status: ' + shown);
  await until('the agent to switch', () => output1() === flipped);

  step('a protected output: an operator may not switch it off, an admin who names it may');
  if (output(2) !== '1') {
    const on = 'tr[data-control="output/2"] button[data-value="1"]';
    await page.click(on);
    await page.click(on);
    await until('output 2 on', () => output(2) === '1');
  }
  const off2 = 'tr[data-control="output/2"] button[data-value="0"]';
  await page.waitForSelector(off2);
  const protectedWhy = await page.$eval('tr[data-control="output/2"]', tr =>
      [tr.querySelector('button').disabled, tr.querySelector('.reason').textContent]);
  if (!protectedWhy[0] || !/only an admin/.test(protectedWhy[1]))
    throw new Error('protected output for an operator: ' + protectedWhy);
  await page.click('#token-forget');
  await signIn(env.QOR_WEB_ADMIN_TOKEN, 'signed in as ops-anna \\(admin\\)');
  await page.waitForFunction(s => !document.querySelector(s).disabled, {}, off2);
  await page.click(off2);
  await page.click(off2);
  await page.waitForSelector('#confirm-2');
  await page.type('#confirm-2', 'Core switch');
  await page.click('tr[data-control="output/2"] .confirm button');
  await page.waitForFunction(() =>
      /^confirmed: /.test(document.querySelector('[data-status="output/2"]').textContent),
      {timeout: 20000});
  if (output(2) !== '0') throw new Error('the protected output did not switch off');
  await page.waitForFunction(() => [...document.querySelectorAll('#unit-audit tbody tr')]
      .some(tr => /Core switch/.test(tr.textContent) && /ops-anna/.test(tr.textContent)),
      {timeout: 20000});

  step('twenty switches, each confirmation arriving before its answer');
  await page.evaluate(() => { window.qorHold = true; });
  await page.focus('tr[data-control="output/1"] button.switch');
  for (let i = 0; i < 20; i++) {
    const want = output1() === '1' ? '0' : '1';
    const sel = `tr[data-control="output/1"] button[data-value="${want}"]`;
    const answered = page.waitForResponse(r => r.request().method() === 'POST');
    await page.click(sel);
    await page.click(sel);
    const {id} = await (await answered).json();
    const cell = '[data-status="output/1"]';
    await page.waitForFunction(c => {
      const e = document.querySelector(c);
      return !/^(sending|pending|accepted|requested)/.test(e.textContent);
    }, {timeout: 30000}, cell).catch(async () => {
      throw new Error(`switch ${i}: request ${id} still shows "` +
                      await page.$eval(cell, e => e.textContent) + '"');
    });
    const shown = await page.$eval(cell, e => [e.dataset.request, e.textContent]);
    if (shown[0] !== String(id) || !/^confirmed: /.test(shown[1]))
      throw new Error(`switch ${i}: request ${id}, the status says ` + shown);
    if (output1() !== want) throw new Error(`switch ${i}: the agent did not switch`);
    await page.waitForFunction(v => {
      const cur = document.querySelector('[data-current="output/1"]');
      const chip = document.querySelector('#unit-state .chip[data-output="1"]');
      return cur.dataset.value === v && chip.classList.contains('on') === (v === '1');
    }, {timeout: 20000}, want);
    const focused = await page.evaluate(() =>
        document.activeElement.closest('tr')?.dataset.control);
    if (focused !== 'output/1') throw new Error(`switch ${i} moved the focus to ` + focused);
  }
  await page.evaluate(() => { window.qorHold = false; });

  step('a location the unit cannot take is refused with the reason');
  await page.type('tr[data-control="location"] input', 'Zürich');
  await page.click('tr[data-control="location"] button');
  await page.waitForFunction(() => /refused: .*beyond ASCII/.test(
      document.querySelector('[data-status="location"]').textContent));

  step('greyed with the age of the data while qor_web is away, and back');
  await page.evaluate(() => { location.hash = ''; });
  await page.waitForSelector('#tiles .tile');
  away = true;
  process.kill(Number(env.QOR_WEB_PID), 'SIGKILL');
  await page.waitForFunction(() =>
      document.body.classList.contains('offline') &&
      /data as of \d\d:\d\d:\d\d/.test(document.getElementById('connection').textContent),
      {timeout: 20000});
  const grey = await page.$eval('#tiles .tile', t => getComputedStyle(t).filter);
  if (!/grayscale/.test(grey)) throw new Error('the tiles are not greyed: ' + grey);
  restarted = spawn('/bin/sh', ['-c', env.QOR_WEB_COMMAND], {stdio: 'ignore'});
  await page.waitForFunction(n =>
      !document.body.classList.contains('offline') &&
      document.getElementById('connection').textContent === 'live' &&
      document.querySelectorAll('.tile .comms.ok').length >= n - 1,
      {timeout: 60000}, units);
  away = false;

  step("a unit's page opened by its address knows control is on");
  const direct = await browser.newPage();
  direct.on('pageerror', e => problems.push(String(e)));
  // The event stream (and its hello) only once the controls are drawn.
  await direct.setRequestInterception(true);
  let drawn;
  const controlsDrawn = new Promise(ok => { drawn = ok; });
  direct.on('request', r => {
    if (/\/api\/v1\/events$/.test(r.url())) controlsDrawn.then(() => r.continue());
    else r.continue();
  });
  await direct.goto(url + env.QOR_WEB_UNIT_HASH, {waitUntil: 'domcontentloaded'});
  await direct.waitForSelector('tr[data-control="output/1"] button');
  drawn();
  await direct.waitForSelector('#unit-state .tile');
  // The title gives the unit's address and how it is spoken to.
  await direct.waitForFunction(() => /\(127\.0\.1\.1\S*, SNMP v1\)$/.test(
      document.getElementById('unit-title').textContent), {timeout: 10000});
  const note = await direct.$eval('#unit-controls-note', e => e.textContent);
  if (/read-only/.test(note)) throw new Error('the direct page says: ' + note);
  if (await direct.$eval('#token-form', e => e.hidden))
    throw new Error('the direct page offers no token field');
  await direct.close();

  if (external.length) throw new Error('fetched from outside: ' + external);
  if (problems.length) throw new Error('page errors: ' + problems.join('; '));
  step('all done; screenshots in ' + shots);
} catch (e) {
  failed = true;
  console.error('FAILED: ' + (e && e.stack || e));
  try { await page.screenshot({path: shots + '/failure.png', fullPage: true}); } catch {}
} finally {
  await browser.close();
  if (restarted) {
    restarted.kill('SIGTERM');
    await new Promise(r => restarted.exitCode !== null ? r() : restarted.on('exit', r));
  }
}
process.exit(failed ? 1 : 0);
