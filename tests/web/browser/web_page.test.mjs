// The weather page in a real browser: simulator -> relay -> anemobus-web ->
// headless Chromium (Debian's), over a bus and a log of the test's own, with
// an hour of history in the log. Checks the figures and units, the limit
// state following the limit set on the page, the charts' points, and the
// silent banner once the simulator is stopped. Saves a screenshot.
//
//   node web_page.test.mjs --bin BUILD_DIR --fill web_history_fill --out DIR
// Exit status 0 when every check passed, 1 otherwise, 77 (skipped) when
// there is no Chromium. Whatever the way out (a failed check, an error, a
// step that hangs until the watchdog below), the output names the failing
// check or step and holds the programs' logs.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { parseArgs } from 'node:util';

const { values: opt } = parseArgs({ options: { bin: { type: 'string' }, fill: { type: 'string' }, out: { type: 'string' } } });
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
if (!existsSync(chromiumPath)) {
  console.log(`SKIP: no Chromium at ${chromiumPath} (Debian package chromium; scripts/install-deps installs it)`);
  process.exit(77);
}
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.error('playwright-core is missing: run `npm ci` in tests/web/browser (scripts/test does)');
  process.exit(1);
}

// Timeouts are scaled like the C++ tests' (ANEMOBUS_TIMEOUT_SCALE).
const scale = Number(process.env.ANEMOBUS_TIMEOUT_SCALE) || 1;
const work = mkdtempSync(join(tmpdir(), 'anemobus-web-browser-'));
const children = [];
let failures = 0;
let passes = 0;

function start(name, program, args) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  child.log = '';
  child.stdout.on('data', (d) => { child.log += d; });
  child.stderr.on('data', (d) => { child.log += d; });
  child.label = name;
  children.push(child);
  return child;
}

function run(program, args) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { stdio: ['ignore', 'inherit', 'inherit'] });
    child.on('exit', (code) => (code === 0 ? resolve() : reject(new Error(`${program} exited with ${code}`))));
  });
}

// The step under way, named in the output should the test hang there.
let step = 'starting';

// Ends a test that hangs before CTest's own timeout (90 s) would kill it
// without a word about where it was.
const watchdog = setTimeout(() => {
  console.log(`FAIL hung while waiting for ${step}`);
  showLogs();
  process.exit(1);
}, 80000);
watchdog.unref();

function showLogs() {
  for (const c of children) console.log(`--- ${c.label} ---\n${c.log}`);
}

async function until(what, condition, ms) {
  step = what;
  const deadline = Date.now() + ms * scale;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

function check(what, ok, detail = '') {
  if (ok) passes++; else failures++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${ok ? '' : ` (${detail})`}`);
}

const port = 20000 + Math.floor(Math.random() * 10000);
const bus = `127.255.255.255:${port}`;
const db = join(work, 'readings.db');
const tty = join(work, 'station');
let browser;
try {
  // An hour of history, up to a few seconds ago.
  await run(opt.fill, [db, '3600', String(Date.now() - 3000)]);
  const sim = start('simulator', join(opt.bin, 'tools/anemobus-sim'),
    ['--link', tty, '--fixed', '101591.66,22.5,4.4704,180']);
  await until('the simulator\'s link', () => existsSync(tty), 5000);
  const web = start('anemobus-web', join(opt.bin, 'tools/anemobus-web'),
    ['-b', bus, '--db', db, '--listen', '127.0.0.1:0', '--wind-limit', '50']);
  const url = await until('the page address', () => (web.log.match(/serving (http:\S+)/) || [])[1], 5000);
  start('relay', join(opt.bin, 'src/anemobus'), ['-d', tty, '-b', bus, '-s', '1']);

  step = 'Chromium to start';
  browser = await chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage({ viewport: { width: 1100, height: 900 } });
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
  page.on('pageerror', (e) => problems.push(String(e)));
  step = 'the page to load';
  await page.goto(url);
  const text = (id) => page.locator(`#${id}`).textContent();

  // The simulator's fixed wind in the headline, with its units.
  await until('the headline to show the simulator\'s wind', async () => (await text('wind-ms')) === '4.5', 20000);
  check('wind now in m/s', (await text('wind-ms')) === '4.5');
  check('wind now in knots', (await text('wind-kt')) === '8.7', await text('wind-kt'));
  const headline = await page.locator('#headline').innerText();
  check('units beside the figures', /m\/s/.test(headline) && /kt/.test(headline), headline);
  check('temperature', (await text('temperature')) === '22.5', await text('temperature'));
  check('pressure in hPa', (await text('pressure')) === '1015.9', await text('pressure'));
  check('direction', (await text('direction-text')) === 'from S 180°', await text('direction-text'));
  check('the 2-minute mean and 10-minute gust are shown',
    /^\d+\.\d$/.test(await text('mean-ms')) && /^\d+\.\d$/.test(await text('gust-ms')));

  // The limit: 50 m/s from the command line, then set on the page.
  const limitState = async () => [await page.locator('#headline').getAttribute('data-state'), await text('limit-state')];
  let [mode, said] = await limitState();
  check('within the --wind-limit', mode === 'within' && /WITHIN LIMIT/.test(said), `${mode}: ${said}`);
  step = 'the limit set on the page';
  await page.fill('#limit-input', '3');
  await page.selectOption('#limit-unit', 'ms');
  await page.click('#limit-set');
  [mode, said] = await limitState();
  check('over a limit of 3 m/s set on the page', mode === 'over' && /OVER LIMIT/.test(said), `${mode}: ${said}`);
  await page.fill('#limit-input', '40');
  await page.selectOption('#limit-unit', 'kt');
  await page.click('#limit-set');
  [mode, said] = await limitState();
  check('within a limit of 40 kt', mode === 'within' && /WITHIN LIMIT of 20\.6 m\/s/.test(said), `${mode}: ${said}`);

  // The charts: the hour of history from the log, and live points.
  const points = await until('the charts', () => page.evaluate(() => {
    const c = window.anemobus.charts;
    const n = (chart, i = 0) => chart.data.datasets[i].data.filter((p) => p.y !== null).length;
    return n(c.wind) > 0 ? { mean: n(c.wind), gust: n(c.wind, 1), dir: n(c.direction), pressure: n(c.pressure) } : null;
  }), 10000);
  check('wind chart points for the hour', points.mean >= 600 && points.gust === points.mean, JSON.stringify(points));
  check('direction and pressure chart points', points.dir >= 600 && points.pressure >= 600, JSON.stringify(points));
  step = 'a screenshot';
  await page.screenshot({ path: join(opt.out, 'anemobus-web.png'), fullPage: true });

  // The station stops answering: the banner, with the time of the last reading.
  check('no silent banner while readings come', await page.locator('#silent-banner').isHidden());
  sim.kill('SIGTERM');
  await until('the silent banner', () => page.locator('#silent-banner').isVisible(), 15000);
  const banner = await text('silent-banner');
  check('silent banner says since when', /^Station silent since \d\d:\d\d:\d\d$/.test(banner), banner);
  await page.screenshot({ path: join(opt.out, 'anemobus-web-silent.png') });
  check('no errors in the page', problems.length === 0, problems.join(' | '));
} catch (err) {
  failures++;
  console.log(`FAIL ${err.message} (during: ${step})`);
} finally {
  if (failures > 0) showLogs();
  try {
    if (browser) await browser.close();
  } catch (err) {
    console.log(`closing the browser: ${err.message}`);
  }
  for (const c of children) c.kill('SIGKILL');
  rmSync(work, { recursive: true, force: true });
}
console.log(`${passes} passed, ${failures} failed`);
process.exit(failures === 0 ? 0 : 1);
