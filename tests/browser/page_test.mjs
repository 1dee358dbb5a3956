// Drives Debian's chromium (headless, through puppeteer-core; no browser is
// downloaded) through the qor_web page of a running rig: every unit shown,
// a trap's change arriving without a reload, a refusal without the token,
// an output switched with its confirmation, twenty switches whose
// confirmations arrive before the POSTs' answers, a unit's page opened by
// its address knowing that control is on, screenshots saved.
//
// Environment (set by web_browser_test): QOR_WEB_URL, QOR_WEB_TOKEN,
// QOR_WEB_UNITS, QOR_WEB_UNIT_HASH (the hash of unit 1's page),
// QOR_WEB_TRAP (shell line sending a trap from unit 2, kind appended),
// QOR_WEB_GET_OUTPUT1 (shell line printing unit 1's output 1 state),
// QOR_WEB_SCREENSHOTS (folder).
import {execSync} from 'node:child_process';
import {mkdirSync} from 'node:fs';
import puppeteer from 'puppeteer-core';

const env = process.env;
const url = env.QOR_WEB_URL;
const units = Number(env.QOR_WEB_UNITS);
const shots = env.QOR_WEB_SCREENSHOTS;
mkdirSync(shots, {recursive: true});

function step(text) { console.log('-- ' + text); }
function sh(line) { return execSync(line, {encoding: 'utf8'}).trim(); }
function output1() { return sh(env.QOR_WEB_GET_OUTPUT1); }
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

const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
         '--no-first-run', '--disable-extensions'],
});
let failed = false;
const page = await browser.newPage();
try {
  await page.setViewport({width: 1400, height: 900});
  const external = [];
  page.on('request', r => { if (!r.url().startsWith(url)) external.push(r.url()); });
  const problems = [];
  // The one refusal the test asks for itself (401) is no page error.
  page.on('console', m => {
    if (m.type() === 'error' && !/status of 401/.test(m.text())) problems.push(m.text());
  });
  page.on('pageerror', e => problems.push(String(e)));
  await page.evaluateOnNewDocument(holdAnswers);

  step('every unit shown, live');
  await page.goto(url, {waitUntil: 'domcontentloaded'});
  await page.evaluate(() => { window.loadedOnce = 'yes'; });
  await page.waitForFunction(n =>
      document.querySelectorAll('.tile').length === n &&
      document.querySelectorAll('.tile .comms.ok').length === n &&
      document.getElementById('connection').textContent === 'live',
      {timeout: 60000}, units);
  // Outputs are switched once the units' walks have reported them (the
  // driver finds an output's row only then).
  await page.waitForFunction(n =>
      document.querySelectorAll('.tile .outputs .chip[data-output="1"]').length === n,
      {timeout: 60000}, units);
  const names = await page.$$eval('.tile h2 a', as => as.map(a => a.textContent));
  if (names.length !== units) throw new Error('tiles: ' + names);
  // Each tile names its site: one page may show several.
  const site = decodeURIComponent(env.QOR_WEB_UNIT_HASH.split('/')[1]);
  const sites = await page.$$eval('.tile h2 .site', s => s.map(e => e.textContent));
  if (sites.length !== units || sites.some(s => s !== site))
    throw new Error('tile sites: ' + sites);
  await page.screenshot({path: shots + '/overview.png', fullPage: true});

  step("a trap's change appears without reload");
  sh(env.QOR_WEB_TRAP + ' temp-alarm 61');
  await page.waitForFunction(() => {
    const t = [...document.querySelectorAll('.tile')]
        .find(e => e.querySelector('h2 a').textContent === 'Unit 2');
    return t && /61 °C/.test(t.textContent) && /ALARM/.test(t.textContent) &&
           t.classList.contains('alarm');
  }, {timeout: 30000});
  if (await page.evaluate(() => window.loadedOnce) !== 'yes')
    throw new Error('the page was reloaded');
  await page.screenshot({path: shots + '/after_trap.png', fullPage: true});

  step('refused without the token');
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
  await page.click(button);
  await page.click(button);
  await page.waitForFunction(() =>
      /refused/.test(document.querySelector('[data-status="output/1"]').textContent));
  if (output1() !== before) throw new Error('switched without the token');

  step('an output switched with its confirmation');
  await page.type('#token', env.QOR_WEB_TOKEN);
  await page.click('#token-use');
  await page.waitForFunction(() =>
      !/Enter the control token/.test(document.getElementById('unit-controls-note').textContent));
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
  await page.screenshot({path: shots + '/unit_page.png', fullPage: true});

  step('the tile shows the new state');
  await page.evaluate(() => { location.hash = ''; });
  await page.waitForFunction(on => {
    const t = [...document.querySelectorAll('.tile')]
        .find(e => e.querySelector('h2 a').textContent === 'Unit 1');
    const chip = t && t.querySelector('.outputs .chip[data-output="1"]');
    return chip && chip.classList.contains('on') === on;
  }, {timeout: 20000}, flipped === '1');
  await page.screenshot({path: shots + '/qor_web_page.png', fullPage: true});

  step('twenty switches, each confirmation arriving before its answer');
  await page.evaluate(h => { location.hash = h; window.qorHold = true; },
                      env.QOR_WEB_UNIT_HASH);
  await page.waitForSelector(button);
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
  }
  await page.evaluate(() => { window.qorHold = false; });

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
}
process.exit(failed ? 1 : 0);
