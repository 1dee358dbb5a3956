// Lighthouse's accessibility score of each view of a running qor_web page
// (the overview, the compact view and a unit's page), in Debian's
// chromium, at 1920x1080 and on a 390 px phone. Prints one line per view.
//   node accessibility.mjs URL UNIT_HASH     e.g. http://127.0.0.1:8080/ '#unit/bench/99/1'
import lighthouse from 'lighthouse';
import * as chromeLauncher from 'chrome-launcher';

const [url, unitHash] = process.argv.slice(2);
if (!url || !unitHash) {
  console.error('usage: node accessibility.mjs URL UNIT_HASH');
  process.exit(2);
}
const views = [['overview', url], ['compact', url + '?view=compact'],
               ['unit page', url + unitHash]];
const screens = [
  ['desktop', {mobile: false, width: 1920, height: 1080, deviceScaleFactor: 1, disabled: false}],
  ['phone', {mobile: true, width: 390, height: 844, deviceScaleFactor: 3, disabled: false}],
];
const chrome = await chromeLauncher.launch({
  chromePath: '/usr/bin/chromium',
  chromeFlags: ['--headless=new', '--no-sandbox', '--disable-gpu',
                '--disable-dev-shm-usage'],
});
let worst = 100;
try {
  for (const [screen, emulation] of screens) {
    for (const [name, address] of views) {
      const result = await lighthouse(address, {
        port: chrome.port, onlyCategories: ['accessibility'], output: 'json',
        logLevel: 'error', formFactor: emulation.mobile ? 'mobile' : 'desktop',
        screenEmulation: emulation, disableStorageReset: true,
      });
      const category = result.lhr.categories.accessibility;
      const score = Math.round(category.score * 100);
      worst = Math.min(worst, score);
      const failing = category.auditRefs
          .filter(r => r.weight > 0 && result.lhr.audits[r.id].score === 0)
          .map(r => r.id);
      console.log(`${name.padEnd(10)} ${screen.padEnd(8)} ${score}` +
                  (failing.length ? '  failing: ' + failing.join(', ') : ''));
    }
  }
} finally {
  await chrome.kill();
}
process.exit(worst >= 98 ? 0 : 1);
