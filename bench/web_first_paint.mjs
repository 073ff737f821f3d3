// The weather page's first paint with an hour of history, in headless
// Chromium (Debian's): anemobus-web over a log holding an hour of 1 Hz
// readings, the page loaded afresh (new browser context, empty cache) each
// run. One line per measure: the first contentful paint, the moment the
// hour's charts are drawn (the page's own performance mark), the renderer's
// main-thread CPU time until then, and for scale the first paint of a blank
// page in the same browser (on a busy machine all of them grow together).
//
// With --overview, an operations centre instead: 64 stations on the bus at
// 1 Hz each (sent through anemobus-monitor, spread over the second), the
// overview's first paint and the moment its 64 tiles are drawn, then one
// overview kept open for --seconds: the CPU of anemobus-web (from
// /proc/PID/stat), of every Chromium process (the browser, its renderer,
// GPU and utility processes, from /proc), and the renderer's main-thread
// busy time (the DevTools protocol's TaskDuration), each as a share of one
// core over that window.
//
//   node bench/web_first_paint.mjs --bin build/release \
//        --fill build/release/tests/web/web_history_fill [--runs 15]
//   node bench/web_first_paint.mjs --bin build/release --overview [--runs 15] [--seconds 60]
// playwright-core comes from tests/web/browser (npm ci there first).
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { parseArgs } from 'node:util';

const { values: opt } = parseArgs({
  options: {
    bin: { type: 'string' }, fill: { type: 'string' }, runs: { type: 'string', default: '15' },
    overview: { type: 'boolean', default: false }, seconds: { type: 'string', default: '60' },
  },
});
const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const { chromium } = await import(pathToFileURL(join(root, 'tests/web/browser/node_modules/playwright-core/index.mjs')));

const work = mkdtempSync(join(tmpdir(), 'anemobus-first-paint-'));
const db = join(work, 'readings.db');
if (!opt.overview) {
  await new Promise((resolve, reject) => {
    spawn(opt.fill, [db, '3600'], { stdio: 'inherit' }).on('exit', (c) => (c === 0 ? resolve() : reject(new Error('fill failed'))));
  });
}
const bus = `127.255.255.255:${20000 + Math.floor(Math.random() * 10000)}`;
const web = spawn(join(opt.bin, 'tools/anemobus-web'), ['-q', '-b', bus, '--db', db, '--listen', '127.0.0.1:0']);
const url = await new Promise((resolve) => {
  let out = '';
  web.stdout.on('data', (d) => { out += d; const m = out.match(/serving (http:\S+)/); if (m) resolve(m[1]); });
});

// 64 stations, each once a second, their readings spread over the second.
const STATIONS = 64;
let monitor = null;
let feeding = null;
if (opt.overview) {
  monitor = spawn(join(opt.bin, 'tools/anemobus-monitor'), ['-q', '-b', bus, '-n', 'stations', '^nothing$'], { stdio: ['pipe', 'ignore', 'ignore'] });
  let next = 0;
  feeding = setInterval(() => {
    const n = next++ % STATIONS;
    const wind = (3 + (n % 13) + Math.random()).toFixed(2);
    monitor.stdin.write(`site-${String(n).padStart(2, '0')} WEATHER 101325 ${10 + (n % 7)} ${wind} ${(n * 37) % 360}\n`);
  }, 1000 / STATIONS);
  // Every station heard before the first load.
  await new Promise((r) => setTimeout(r, 3000));
}

// CPU seconds (user and system) of a process, and of every process below
// one (Chromium's browser and its children).
const ticks = Number(process.env.CLK_TCK) || 100;
function cpuOf(pid) {
  try {
    const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return (Number(fields[11]) + Number(fields[12])) / ticks;
  } catch {
    return 0;
  }
}
function descendants(root) {
  const parent = new Map();
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      parent.set(Number(name), Number(readFileSync(`/proc/${name}/stat`, 'utf8').split(') ')[1].split(' ')[1]));
    } catch {
      // Gone meanwhile.
    }
  }
  const below = (pid) => { for (let p = parent.get(pid); p; p = parent.get(p)) if (p === root) return true; return false; };
  return Array.from(parent.keys()).filter(below);
}
const chromiumCpu = (exclude) => descendants(process.pid).filter((p) => !exclude.includes(p)).reduce((sum, p) => sum + cpuOf(p), 0);

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
  // The first paint too: the overview's tiles may be drawn before it.
  await page.evaluate((name) => new Promise((resolve) => {
    const seen = () => [name, 'first-contentful-paint'].every((n) => performance.getEntriesByName(n).length > 0);
    if (seen()) return resolve();
    new PerformanceObserver(() => { if (seen()) resolve(); }).observe({ entryTypes: ['mark', 'paint'] });
  }), ready);
  const metrics = (await cdp.send('Performance.getMetrics')).metrics;
  const result = await page.evaluate((ready) => [
    performance.getEntriesByName('first-contentful-paint')[0]?.startTime,
    performance.getEntriesByName(ready)[0]?.startTime,
    window.anemobus && window.anemobus.charts ? window.anemobus.charts.wind.data.datasets[0].data.length : document.querySelectorAll('.tile').length,
  ], ready);
  await context.close();
  return [...result, 1000 * metrics.find((m) => m.name === 'ThreadTime').value];
}
// One overview open for the window: the CPU of the server, of Chromium,
// and of the renderer's main thread, each per second of the window. For
// scale, the same of a blank page (Chromium's own floor on this machine).
async function keepOpen(target, name, seconds) {
  const context = await browser.newContext({ viewport: { width: 1920, height: 1080 } });
  const page = await context.newPage();
  const cdp = await context.newCDPSession(page);
  await cdp.send('Performance.enable');
  await page.goto(target);
  if (name === 'overview') await page.waitForFunction((n) => document.querySelectorAll('.tile').length === n, STATIONS);
  await new Promise((r) => setTimeout(r, 5000));  // past the first load's work
  const busy = async () => (await cdp.send('Performance.getMetrics')).metrics.find((m) => m.name === 'TaskDuration').value;
  const others = [web.pid, monitor.pid];
  const before = [cpuOf(web.pid), chromiumCpu(others), await busy(), Date.now()];
  await new Promise((r) => setTimeout(r, seconds * 1000));
  const after = [cpuOf(web.pid), chromiumCpu(others), await busy(), Date.now()];
  const tiles = await page.evaluate(() => document.querySelectorAll('.tile').length);
  await context.close();
  const wall = (after[3] - before[3]) / 1000;
  const share = (i) => (100 * (after[i] - before[i])) / wall;
  const over = `of a core over ${wall.toFixed(0)} s`;
  console.log(`${`server_cpu_64_stations_${name}_open`.padEnd(38)} ${share(0).toFixed(2)} % ${over}`);
  console.log(`${`chromium_cpu_${name}_open`.padEnd(38)} ${share(1).toFixed(2)} % ${over} (all its processes)`);
  console.log(`${`${name}_main_thread_busy`.padEnd(38)} ${share(2).toFixed(2)} % ${over}${name === 'overview' ? ` (${tiles} tiles)` : ''}`);
}

try {
  for (let i = 0; i < Number(opt.runs); i++) {
    if (opt.overview) {
      const [paint, drawn, tiles, thread] = await load(`${url}overview`, 'anemobus-tiles-drawn');
      if (tiles !== STATIONS) throw new Error(`only ${tiles} tiles drawn`);
      paints.push(paint);
      charts.push(drawn);
      cpu.push(thread);
      const [empty] = await load('data:text/html,<h1>anemobus</h1>', 'first-contentful-paint');
      blank.push(empty);
      continue;
    }
    const [paint, drawn, points, thread] = await load(url, 'anemobus-charts-drawn');
    if (points < 600) throw new Error(`only ${points} points drawn`);
    paints.push(paint);
    charts.push(drawn);
    cpu.push(thread);
    const [empty] = await load('data:text/html,<h1>anemobus</h1>', 'first-contentful-paint');
    blank.push(empty);
  }
  if (opt.overview) {
    await keepOpen(`${url}overview`, 'overview', Number(opt.seconds));
    await keepOpen('data:text/html,<h1>anemobus</h1>', 'blank_page', Number(opt.seconds));
  }
} finally {
  await browser.close();
  if (feeding) clearInterval(feeding);
  if (monitor) monitor.kill('SIGTERM');
  web.kill('SIGTERM');
  rmSync(work, { recursive: true, force: true });
}
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const line = (name, xs) => console.log(`${name.padEnd(38)} median ${median(xs).toFixed(0)} ms, max ${Math.max(...xs).toFixed(0)} ms over ${xs.length} loads`);
const what = opt.overview ? ['overview_first_contentful_paint', 'overview_64_tiles_drawn', 'overview_main_thread_cpu_until_drawn']
  : ['web_page_first_contentful_paint', 'web_page_hour_of_charts_drawn', 'web_page_main_thread_cpu_until_drawn'];
line(what[0], paints);
line(what[1], charts);
line(what[2], cpu);
line('blank_page_first_contentful_paint', blank);
