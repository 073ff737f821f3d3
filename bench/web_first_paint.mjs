// The weather page's first paint with an hour of history, in headless
// Chromium (Debian's): anemobus-web over a log holding an hour of 1 Hz
// readings, the page loaded afresh (new browser context, empty cache) each
// run. One line per measure: the first contentful paint, the moment the
// hour's charts are drawn (the page's own performance mark), the renderer's
// main-thread CPU time until then, and for scale the first paint of a blank
// page in the same browser (on a busy machine all of them grow together).
//
//   node bench/web_first_paint.mjs --bin build/release \
//        --fill build/release/tests/web/web_history_fill [--runs 15]
// playwright-core comes from tests/web/browser (npm ci there first).
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { parseArgs } from 'node:util';

const { values: opt } = parseArgs({
  options: { bin: { type: 'string' }, fill: { type: 'string' }, runs: { type: 'string', default: '15' } },
});
const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const { chromium } = await import(pathToFileURL(join(root, 'tests/web/browser/node_modules/playwright-core/index.mjs')));

const work = mkdtempSync(join(tmpdir(), 'anemobus-first-paint-'));
const db = join(work, 'readings.db');
await new Promise((resolve, reject) => {
  spawn(opt.fill, [db, '3600'], { stdio: 'inherit' }).on('exit', (c) => (c === 0 ? resolve() : reject(new Error('fill failed'))));
});
const bus = `127.255.255.255:${20000 + Math.floor(Math.random() * 10000)}`;
const web = spawn(join(opt.bin, 'tools/anemobus-web'), ['-q', '-b', bus, '--db', db, '--listen', '127.0.0.1:0']);
const url = await new Promise((resolve) => {
  let out = '';
  web.stdout.on('data', (d) => { out += d; const m = out.match(/serving (http:\S+)/); if (m) resolve(m[1]); });
});

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const paints = [];
const charts = [];
const cpu = [];
const blank = [];
async function load(target, ready) {
  const context = await browser.newContext({ viewport: { width: 1100, height: 900 } });
  const page = await context.newPage();
  const cdp = await context.newCDPSession(page);
  await cdp.send('Performance.enable');
  await page.goto(target);
  // Waits on a performance observer, not by polling, which would cost the
  // page's main thread and show in its CPU time.
  await page.evaluate((name) => new Promise((resolve) => {
    const seen = () => performance.getEntriesByName(name).length > 0;
    if (seen()) return resolve();
    new PerformanceObserver(() => { if (seen()) resolve(); }).observe({ entryTypes: ['mark', 'paint'] });
  }), ready);
  const metrics = (await cdp.send('Performance.getMetrics')).metrics;
  const result = await page.evaluate(() => [
    performance.getEntriesByName('first-contentful-paint')[0]?.startTime,
    performance.getEntriesByName('anemobus-charts-drawn')[0]?.startTime,
    window.anemobus ? window.anemobus.charts.wind.data.datasets[0].data.length : 0,
  ]);
  await context.close();
  return [...result, 1000 * metrics.find((m) => m.name === 'ThreadTime').value];
}
try {
  for (let i = 0; i < Number(opt.runs); i++) {
    const [paint, drawn, points, thread] = await load(url, 'anemobus-charts-drawn');
    if (points < 600) throw new Error(`only ${points} points drawn`);
    paints.push(paint);
    charts.push(drawn);
    cpu.push(thread);
    const [empty] = await load('data:text/html,<h1>anemobus</h1>', 'first-contentful-paint');
    blank.push(empty);
  }
} finally {
  await browser.close();
  web.kill('SIGTERM');
  rmSync(work, { recursive: true, force: true });
}
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const line = (name, xs) => console.log(`${name.padEnd(38)} median ${median(xs).toFixed(0)} ms, max ${Math.max(...xs).toFixed(0)} ms over ${xs.length} loads`);
line('web_page_first_contentful_paint', paints);
line('web_page_hour_of_charts_drawn', charts);
line('web_page_main_thread_cpu_until_drawn', cpu);
line('blank_page_first_contentful_paint', blank);
