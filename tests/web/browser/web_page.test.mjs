// The weather page in a real browser: simulator -> relay -> anemobus-web ->
// headless Chromium (Debian's), over a bus and a log of the test's own, with
// an hour of history in the log; the bus monitor sends extra messages.
// Checks the figures and units, the limit state following the limit set on
// the page, the charts' points, the alarm setting, the neutral "no current
// data" state twice (the station silent, then the server stopped), a
// silence as a gap in the live chart, the layout on phones, and the page
// turned away when too many are open. Saves screenshots.
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

function start(name, program, args, stdin = 'ignore') {
  const child = spawn(program, args, { stdio: [stdin, 'pipe', 'pipe'] });
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

function exited(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve();
    else child.on('exit', resolve);
  });
}

// Everything on the page that is tapped, and its size where it is smaller
// than a fingertip.
function smallTargets(page) {
  return page.evaluate(() => Array.from(document.querySelectorAll('button, select, input, a'))
    .map((e) => [e.id || e.textContent.trim(), e.getBoundingClientRect()])
    .filter(([, r]) => r.width > 0 && (r.width < 44 || r.height < 44))
    .map(([name, r]) => `${name} ${Math.round(r.width)}x${Math.round(r.height)}`));
}

// What does not fit a phone's screen: a page wider than it, a clock off it,
// a figure wider than its card.
function overflows(page) {
  return page.evaluate(() => {
    const out = [];
    const width = document.documentElement.clientWidth;
    if (document.documentElement.scrollWidth > width) out.push(`page ${document.documentElement.scrollWidth} > ${width}`);
    const clock = document.getElementById('clock').getBoundingClientRect();
    if (clock.right > width || clock.left < 0) out.push(`clock at ${Math.round(clock.left)}-${Math.round(clock.right)}`);
    for (const figure of document.querySelectorAll('.card .figure')) {
      const card = figure.closest('.card').getBoundingClientRect();
      const right = Math.max(...Array.from(figure.children, (c) => c.getBoundingClientRect().right));
      if (figure.scrollWidth > figure.clientWidth + 1 || right > card.right - 3) out.push(`${figure.textContent.trim()} past its card`);
    }
    return out;
  });
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
  const monitor = start('monitor', join(opt.bin, 'tools/anemobus-monitor'), ['-b', bus, '-n', 'sender', '^nothing$'], 'pipe');
  const send = (line) => monitor.stdin.write(`${line}\n`);
  // Stands in for the relay once the simulator is stopped: the relay's name on the bus.
  const standIn = start('stand-in', join(opt.bin, 'tools/anemobus-monitor'), ['-b', bus, '-n', 'anemobus', '^nothing$'], 'pipe');
  const sendAsRelay = (line) => standIn.stdin.write(`${line}\n`);

  step = 'Chromium to start';
  browser = await chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const context = await browser.newContext({ viewport: { width: 1100, height: 900 } });
  const page = await context.newPage();
  // Console errors while the server is up; uncaught exceptions throughout.
  const problems = [];
  const exceptions = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
  context.on('page', (p) => p.on('pageerror', (e) => exceptions.push(String(e))));
  page.on('pageerror', (e) => exceptions.push(String(e)));
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
  await page.fill('#limit-input', '2');
  await page.selectOption('#limit-unit', 'ms');
  await page.click('#limit-set');
  [mode, said] = await limitState();
  check('over limit in knots too', /^OVER LIMIT: (wind|10-min gust) \d+\.\d m\/s \(\d+\.\d kt\) > 2\.0 m\/s \(3\.9 kt\)$/.test(said), said);
  await page.fill('#limit-input', '1e6');
  await page.click('#limit-set');
  [mode, said] = await limitState();
  check('a limit of 1e6 m/s is refused', /^OVER LIMIT: .* > 2\.0 m\/s/.test(said) && /at most 150 m\/s/.test(await text('limit-note')), `${said} / ${await text('limit-note')}`);
  await page.fill('#limit-input', '40');
  await page.selectOption('#limit-unit', 'kt');
  await page.click('#limit-set');

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

  // Texts: north is 0°, midnight has its date.
  const texts = await page.evaluate(() => {
    const a = window.anemobus;
    const midnight = new Date(2026, 10, 14).getTime();
    return [a.directionText(359.9), a.directionText(360), a.directionText(11.2), a.directionText(12), a.directionText(65535),
      JSON.stringify(a.tickText(midnight)), JSON.stringify(a.tickText(midnight + 3 * 3600 * 1000))];
  });
  check('directions in whole degrees, north as 0°', texts.slice(0, 5).join('|') === 'from N 0°|from N 0°|from N 11°|from NNE 12°|no direction', texts.join('|'));
  check('the date under midnight on the time axis', texts[5] === '["00:00","14 Nov"]' && texts[6] === '"03:00"', texts.slice(5).join(' '));

  // The alarm: off until turned on, then kept in this browser.
  check('the alarm is off at first', (await text('alarm-toggle')) === 'Alarm off');
  await page.click('#alarm-toggle');
  const other = await context.newPage();
  await other.goto(url);
  check('the alarm stays on in this browser', (await other.locator('#alarm-toggle').textContent()) === 'Alarm on'
    && (await page.locator('#alarm-toggle').getAttribute('aria-pressed')) === 'true');
  await other.close();

  // The station stops answering: the figures say they are not current, and
  // the headline is neither within nor over.
  check('no silent banner while readings come', await page.locator('#silent-banner').isHidden());
  const longId = 'x'.repeat(32);
  send(`${longId} WEATHER 101000 15 3 90`);
  sim.kill('SIGTERM');
  const neutral = async (what) => {
    await until(`the neutral state (${what})`, async () => (await limitState())[0] === 'stale', 15000);
    [mode, said] = await limitState();
    check(`${what}: no current data, and when`, /^NO CURRENT DATA: last reading \d\d:\d\d:\d\d, \d+ s ago$/.test(said), said);
    const opacities = await page.locator('.figure').evaluateAll((all) => all.map((e) => Number(getComputedStyle(e).opacity)));
    check(`${what}: every figure dims`, opacities.length >= 8 && opacities.every((o) => o < 1), opacities.join(','));
  };
  await neutral('station silent');
  const banner = await text('silent-banner');
  check('silent banner says since when', /^Station silent since \d\d:\d\d:\d\d$/.test(banner), banner);
  check('the alarm went off', (await page.evaluate(() => window.anemobus.state.alarms)) >= 1);
  await page.screenshot({ path: join(opt.out, 'anemobus-web-silent.png') });

  // On phones: big enough to tap, nothing off the screen, with a 32-character id.
  await until('the long id in the list', async () => (await page.locator('#station option').count()) === 2, 5000);
  const marked = await page.locator('#station option').nth(1).textContent();
  check('a station another agent fed is marked in the list', marked === `${longId} (not from the relay)`, marked);
  check('touch targets at least 44 px', (await smallTargets(page)).length === 0, (await smallTargets(page)).join(', '));
  for (const [width, height] of [[360, 740], [740, 360], [844, 390]]) {
    await page.setViewportSize({ width, height });
    await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
    const wrong = await overflows(page);
    check(`everything fits ${width}x${height}`, wrong.length === 0, wrong.join(', '));
  }
  await page.screenshot({ path: join(opt.out, 'anemobus-web-phone.png'), fullPage: true });
  await page.setViewportSize({ width: 1100, height: 900 });

  // The station back after a silence longer than three buckets: a gap.
  await until('a silence of four buckets', () => page.evaluate(() => {
    const { state, charts } = window.anemobus;
    const mean = charts.wind.data.datasets[0].data;
    return Date.now() + state.offsetMs - mean[mean.length - 1].x > 4 * state.bucketMs;
  }), 30000);
  const sending = setInterval(() => sendAsRelay('1 WEATHER 101591.66 22.5 4.4704 180'), 400);
  await until('the station back', async () => (await limitState())[0] === 'within', 10000);
  const tail = await page.evaluate(() => window.anemobus.charts.wind.data.datasets[0].data.slice(-3).map((p) => p.y));
  check('a silence is a gap in the live chart', tail[1] === null && tail[2] !== null, JSON.stringify(tail));

  check('no errors in the page', problems.length === 0, problems.join(' | '));

  // The server stops while the station sends: the page's own clock says so.
  web.kill('SIGTERM');
  await exited(web);
  const stopped = Date.now();
  await neutral('server stopped');
  clearInterval(sending);
  check('the page judged the lost server within 5 s (10 s on a loaded machine)', Date.now() - stopped < 10000 * scale, `${Date.now() - stopped} ms`);
  check('no connection banner', /^No connection to anemobus-web since \d\d:\d\d:\d\d/.test(await text('offline-banner')), await text('offline-banner'));

  // Too many pages open: the page after the last one allowed is told so.
  const web2 = start('anemobus-web 2', join(opt.bin, 'tools/anemobus-web'),
    ['-b', bus, '--db', db, '--listen', '127.0.0.1:0', '--wind-limit', '50']);
  const url2 = await until('the second page address', () => (web2.log.match(/serving (http:\S+)/) || [])[1], 5000);
  const holders = new AbortController();
  let turned = false;
  for (let i = 0; i < 64 && !turned; i++) {
    const res = await fetch(`${url2}api/events`, { signal: holders.signal });
    turned = res.status === 503;
  }
  check('the server turns pages away past its limit', turned);
  const full = await context.newPage();
  await full.goto(url2);
  const fullState = async () => [await full.locator('#headline').getAttribute('data-state'), await full.locator('#limit-state').textContent(), await full.locator('#offline-banner').textContent()];
  await until('the page told too many are open', async () => (await fullState())[0] === 'full', 10000);
  await until('the figures from /api/latest', async () => (await full.locator('#limit-state').textContent()) && (await full.locator('#temperature').textContent()) !== '–', 5000);
  const [, fullSaid, fullBanner] = await fullState();
  check('too many pages open, said plainly', /^TOO MANY PAGES OPEN/.test(fullSaid) && /^Too many pages open/.test(fullBanner), `${fullSaid} / ${fullBanner}`);
  await full.screenshot({ path: join(opt.out, 'anemobus-web-full.png') });
  holders.abort();
  check('no exceptions in the pages', exceptions.length === 0, exceptions.join(' | '));
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
