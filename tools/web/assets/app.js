// The live weather page. The status (every second) and each reading come by
// Server-Sent Events from /api/events; the charts load from /api/readings and
// then grow with the live readings, bucket by bucket as the server cuts them.
// Every text from the server is set as text, never as markup.
'use strict';

const KNOTS_PER_MS = 3600 / 1852;
const LIMIT_KEY = 'anemobus.windLimit';
const UNIT_KEY = 'anemobus.limitUnit';
const HOUR_MS = 3600 * 1000;

const state = {
  station: null,       // the aircraft id shown
  status: null,        // the latest status event
  view: null,          // the shown station's latest view
  offsetMs: 0,         // server clock minus this browser's clock
  spanHours: 1,
  bucketMs: 5000,
  loading: 0,          // a counter, so that an old load never overwrites a newer one
  lastEvent: 0,
};

const $ = (id) => document.getElementById(id);
const fixed = (v, digits) => (v === null || v === undefined || !Number.isFinite(v)) ? '–' : v.toFixed(digits);
const serverNow = () => Date.now() + state.offsetMs;
const pad = (n) => String(n).padStart(2, '0');
const clockText = (ms) => { const d = new Date(ms); return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`; };
const hourText = (ms) => { const d = new Date(ms); return `${pad(d.getHours())}:${pad(d.getMinutes())}`; };
const POINTS = ['N', 'NNE', 'NE', 'ENE', 'E', 'ESE', 'SE', 'SSE', 'S', 'SSW', 'SW', 'WSW', 'W', 'WNW', 'NW', 'NNW'];
const validDirection = (d) => Number.isFinite(d) && d >= 0 && d <= 360;

// ---- The wind limit: this browser's choice, else the server's default.
// Read from storage once: the first access can cost a round trip to the browser.
const saved = { limit: parseFloat(localStorage.getItem(LIMIT_KEY)), unit: localStorage.getItem(UNIT_KEY) };
function storedLimit() {
  return Number.isFinite(saved.limit) && saved.limit > 0 ? saved.limit : null;
}
function save(key, field, value) {
  saved[field] = value;
  if (value === null) localStorage.removeItem(key); else localStorage.setItem(key, String(value));
}
function limitMs() {
  const own = storedLimit();
  if (own !== null) return own;
  return state.status && Number.isFinite(state.status.wind_limit) ? state.status.wind_limit : null;
}
function limitUnit() { return saved.unit === 'kt' ? 'kt' : 'ms'; }
function showLimitForm() {
  const limit = limitMs();
  const unit = limitUnit();
  $('limit-unit').value = unit;
  if (document.activeElement !== $('limit-input')) {
    $('limit-input').value = limit === null ? '' : (unit === 'kt' ? limit * KNOTS_PER_MS : limit).toFixed(1);
  }
  const server = state.status && Number.isFinite(state.status.wind_limit) ? state.status.wind_limit : null;
  $('limit-note').textContent = storedLimit() !== null
    ? `Set in this browser. Default: ${server === null ? 'none' : fixed(server, 1) + ' m/s'}.`
    : (server === null ? 'No default limit (--wind-limit).' : 'The default, from --wind-limit.');
}
function setLimit(event) {
  event.preventDefault();
  const unit = $('limit-unit').value === 'kt' ? 'kt' : 'ms';
  const v = parseFloat($('limit-input').value);
  save(UNIT_KEY, 'unit', unit);
  if (Number.isFinite(v) && v > 0) save(LIMIT_KEY, 'limit', unit === 'kt' ? v / KNOTS_PER_MS : v);
  $('limit-input').blur();
  renderAll();
}
function resetLimit() {
  save(LIMIT_KEY, 'limit', null);
  renderAll();
}

// ---- The figures.
function renderHeadline() {
  const v = state.view;
  const headline = $('headline');
  $('wind-ms').textContent = v ? fixed(v.wind, 1) : '–';
  $('wind-kt').textContent = v ? fixed(v.wind * KNOTS_PER_MS, 1) : '–';
  $('mean-ms').textContent = v ? fixed(v.wind_mean_2min, 1) : '–';
  $('mean-kt').textContent = v ? fixed(v.wind_mean_2min * KNOTS_PER_MS, 1) : '–';
  $('gust-ms').textContent = v ? fixed(v.gust_10min, 1) : '–';
  $('gust-kt').textContent = v ? fixed(v.gust_10min * KNOTS_PER_MS, 1) : '–';
  const limit = limitMs();
  let text = 'No wind limit set';
  let mode = 'none';
  if (limit !== null && v) {
    const worst = Math.max(v.wind, v.gust_10min);
    const what = v.gust_10min > v.wind ? '10-min gust' : 'wind';
    mode = worst > limit ? 'over' : 'within';
    text = mode === 'over'
      ? `OVER LIMIT: ${what} ${fixed(worst, 1)} > ${fixed(limit, 1)} m/s`
      : `WITHIN LIMIT of ${fixed(limit, 1)} m/s (${fixed(limit * KNOTS_PER_MS, 1)} kt)`;
  } else if (limit !== null) {
    text = `Limit ${fixed(limit, 1)} m/s: no reading yet`;
  }
  headline.dataset.state = mode;
  headline.classList.toggle('stale', Boolean(v && v.silent));
  $('limit-state').textContent = text;
}

function renderWeather() {
  const v = state.view;
  $('temperature').textContent = v ? fixed(v.temperature, 1) : '–';
  $('pressure').textContent = v ? fixed(v.pressure / 100, 1) : '–';
  const t = v ? v.pressure_tendency_3h : null;
  if (!Number.isFinite(t)) {
    $('tendency').textContent = v ? '3-hour tendency: needs 3 h of readings' : '3-hour tendency –';
  } else {
    const hpa = t / 100;
    const word = Math.abs(hpa) < 0.1 ? 'steady' : (hpa > 0 ? 'rising' : 'falling');
    $('tendency').textContent = `${hpa >= 0 ? '+' : '−'}${Math.abs(hpa).toFixed(1)} hPa in 3 h, ${word}`;
  }
  const arrow = $('arrow');
  if (v && validDirection(v.direction)) {
    arrow.removeAttribute('hidden');
    arrow.setAttribute('transform', `rotate(${v.direction})`);
    const name = POINTS[Math.round(v.direction / 22.5) % 16];
    $('direction-text').textContent = `from ${name} ${Math.round(v.direction)}°`;
  } else {
    arrow.setAttribute('hidden', '');
    $('direction-text').textContent = v ? 'no direction' : '–';
  }
  $('updated').textContent = v ? clockText(v.t) : '–';
}

function renderBanners() {
  const s = state.status;
  const v = state.view;
  const silent = $('silent-banner');
  silent.hidden = !(v && v.silent);
  if (v && v.silent) silent.textContent = `Station silent since ${clockText(v.t)}`;
  const log = $('log-banner');
  log.hidden = !s || s.log.ok;
  if (s && !s.log.ok) log.textContent = `Reading log unavailable (live readings only): ${s.log.error}`;
  if (s) {
    $('refused').textContent = String(s.refused);
    $('log-path').textContent = s.log.path || 'none';
  }
}

function renderStations() {
  const ids = state.status ? state.status.stations.map((x) => x.id) : [];
  $('station-pick').hidden = ids.length < 2;
  const select = $('station');
  const shown = Array.from(select.options).map((o) => o.value);
  if (shown.join('\n') !== ids.join('\n')) {
    select.replaceChildren(...ids.map((id) => new Option(id, id)));
  }
  select.value = state.station || '';
}

function renderAll() {
  renderHeadline();
  renderWeather();
  renderBanners();
  renderStations();
  showLimitForm();
  drawLimitLine();
}

// ---- The charts.
const charts = {};

function axisOptions(extraY) {
  return {
    animation: false,
    parsing: false,
    normalized: true,
    responsive: true,
    maintainAspectRatio: false,
    interaction: { mode: 'nearest', axis: 'x', intersect: false },
    plugins: { legend: { labels: { color: '#000', font: { size: 14, weight: 'bold' } } } },
    scales: {
      x: { type: 'linear', ticks: { color: '#000', callback: (v) => hourText(v) }, afterBuildTicks: roundTicks, grid: { color: '#ccc' } },
      y: Object.assign({ ticks: { color: '#000', font: { size: 13 } }, grid: { color: '#ccc' } }, extraY),
    },
  };
}

function makeCharts() {
  if (typeof Chart === 'undefined') return;
  const line = (label, color, width) => ({ label, data: [], borderColor: color, backgroundColor: color, borderWidth: width, pointRadius: 0, spanGaps: false });
  charts.wind = new Chart($('chart-wind'), {
    type: 'line',
    data: { datasets: [line('Mean', '#003f9e', 2.5), line('Gust', '#b00020', 1.5),
      Object.assign(line('Limit', '#000', 2), { borderDash: [8, 6], backgroundColor: '#fff' })] },
    options: axisOptions({ beginAtZero: true }),
  });
  const dirOptions = axisOptions({ min: 0, max: 360, ticks: { color: '#000', stepSize: 90, callback: (v) => ({ 0: 'N', 90: 'E', 180: 'S', 270: 'W', 360: 'N' })[v] } });
  dirOptions.plugins.legend.display = false;
  charts.direction = new Chart($('chart-direction'), {
    type: 'scatter',
    data: { datasets: [{ label: 'Direction', data: [], borderColor: '#003f9e', backgroundColor: '#003f9e', pointRadius: 1.5 }] },
    options: dirOptions,
  });
  const pOptions = axisOptions({});
  pOptions.plugins.legend.display = false;
  charts.pressure = new Chart($('chart-pressure'), {
    type: 'line',
    data: { datasets: [line('Pressure', '#000', 2)] },
    options: pOptions,
  });
}

// The points as the server sends them: [start, count, wind mean, wind max,
// direction, pressure, temperature]. A gap of several buckets is a break in
// the lines, not a straight line across a silence.
function fillCharts(points, from, to) {
  // The data may come before Chart.js: the charts wait for it.
  if (typeof Chart === 'undefined') {
    chartsReady.then(() => fillCharts(points, from, to));
    return;
  }
  // Made with their first data: an empty chart drawn first is a wasted frame.
  if (!charts.wind) makeCharts();
  if (!charts.wind) return;
  const sets = { mean: [], gust: [], dir: [], pressure: [] };
  const gapMs = Math.max(3 * state.bucketMs, 3 * 1000 * ((state.view && state.view.period) || 1));
  let previous = null;
  for (const p of points) {
    if (previous !== null && p[0] - previous > gapMs) {
      const x = previous + state.bucketMs;
      sets.mean.push({ x, y: null }); sets.gust.push({ x, y: null }); sets.pressure.push({ x, y: null });
    }
    sets.mean.push({ x: p[0], y: p[2], n: p[1] });
    sets.gust.push({ x: p[0], y: p[3] });
    if (validDirection(p[4])) sets.dir.push({ x: p[0], y: p[4] });
    sets.pressure.push({ x: p[0], y: p[5] / 100, n: p[1] });
    previous = p[0];
  }
  charts.wind.data.datasets[0].data = sets.mean;
  charts.wind.data.datasets[1].data = sets.gust;
  charts.direction.data.datasets[0].data = sets.dir;
  charts.pressure.data.datasets[0].data = sets.pressure;
  setRange(from, to);
  if (!state.drawn) {
    state.drawn = true;
    performance.mark('anemobus-charts-drawn');
  }
}

// Ticks on round local times: every 10 minutes for an hour, 1 h for 6 h, 3 h for a day.
const TICK_MS = { 1: 10 * 60 * 1000, 6: HOUR_MS, 24: 3 * HOUR_MS };

function roundTicks(axis) {
  const step = TICK_MS[state.spanHours] || HOUR_MS;
  const zone = new Date(axis.min).getTimezoneOffset() * 60000;
  const ticks = [];
  for (let t = Math.ceil((axis.min - zone) / step) * step + zone; t <= axis.max; t += step) ticks.push({ value: t });
  axis.ticks = ticks;
}

function setRange(from, to) {
  for (const c of Object.values(charts)) {
    c.options.scales.x.min = from;
    c.options.scales.x.max = to;
  }
  placeLimitLine();
  for (const c of Object.values(charts)) c.update('none');
}

// The limit as a dashed line across the wind chart; true when it moved.
function placeLimitLine() {
  const limit = limitMs();
  const x = charts.wind.options.scales.x;
  const key = `${limit} ${x.min} ${x.max}`;
  if (key === state.limitLine) return false;
  state.limitLine = key;
  charts.wind.data.datasets[2].data = limit === null ? [] : [{ x: x.min, y: limit }, { x: x.max, y: limit }];
  return true;
}

function drawLimitLine() {
  if (charts.wind && placeLimitLine()) charts.wind.update('none');
}

// A live reading joins the last bucket, or starts the next one.
function addLivePoint(v) {
  if (!charts.wind) return;
  const start = Math.floor(v.t / state.bucketMs) * state.bucketMs;
  const mean = charts.wind.data.datasets[0].data;
  const gust = charts.wind.data.datasets[1].data;
  const pressure = charts.pressure.data.datasets[0].data;
  const last = mean.length ? mean[mean.length - 1] : null;
  if (last && last.x === start && last.y !== null) {
    const n = last.n || 1;
    last.y = (last.y * n + v.wind) / (n + 1);
    last.n = n + 1;
    gust[gust.length - 1].y = Math.max(gust[gust.length - 1].y, v.wind);
    const p = pressure[pressure.length - 1];
    p.y = (p.y * n + v.pressure / 100) / (n + 1);
  } else {
    mean.push({ x: start, y: v.wind, n: 1 });
    gust.push({ x: start, y: v.wind });
    pressure.push({ x: start, y: v.pressure / 100 });
    if (validDirection(v.direction)) charts.direction.data.datasets[0].data.push({ x: start, y: v.direction });
  }
  const to = serverNow();
  const from = to - state.spanHours * HOUR_MS;
  for (const c of Object.values(charts)) {
    for (const ds of c.data.datasets.slice(0, 2)) {
      while (ds.data.length && ds.data[0].x < from) ds.data.shift();
    }
  }
  setRange(from, to);
}

async function loadHistory() {
  const ticket = ++state.loading;
  const to = serverNow();
  const from = to - state.spanHours * HOUR_MS;
  const query = new URLSearchParams({ from: String(Math.round(from)), to: String(Math.round(to)), points: '720' });
  if (state.station) query.set('id', state.station);
  try {
    const answer = await (await fetch(`/api/readings?${query}`, { cache: 'no-store' })).json();
    if (ticket !== state.loading || !Array.isArray(answer.points)) return;
    state.bucketMs = answer.bucket;
    state.historyOf = answer.id;
    fillCharts(answer.points, from, to);
  } catch (err) {
    // The live stream shows the connection state; the next span change or
    // reconnection loads again.
  }
}

function chooseSpan(hours) {
  state.spanHours = hours;
  for (const b of document.querySelectorAll('.spans button')) {
    b.setAttribute('aria-pressed', String(Number(b.dataset.span) === hours));
  }
  loadHistory();
}

function updateCsvLink() {
  const to = serverNow();
  const query = new URLSearchParams({ from: String(Math.round(to - state.spanHours * HOUR_MS)), to: String(Math.round(to)) });
  if (state.station) query.set('id', state.station);
  $('csv-link').href = `/api/readings.csv?${query}`;
}

// ---- The live stream.
function onStatus(s) {
  state.status = s;
  state.offsetMs = s.now - Date.now();
  state.lastEvent = Date.now();
  const known = s.stations.map((x) => x.id);
  if (!state.station || !known.includes(state.station)) state.station = known.length ? known[known.length - 1] : null;
  state.view = s.stations.find((x) => x.id === state.station) || null;
  renderAll();
  // The first load asked for the server's choice; another station needs its own.
  if (state.historyOf !== undefined && state.historyOf !== state.station) loadHistory();
}

function onReading(v) {
  state.lastEvent = Date.now();
  if (state.station === null) {
    state.station = v.id;
    loadHistory();
  }
  if (v.id !== state.station) return;
  state.view = v;
  renderAll();
  addLivePoint(v);
}

function connect() {
  const source = new EventSource('/api/events');
  source.addEventListener('status', (e) => { $('offline-banner').hidden = true; onStatus(JSON.parse(e.data)); });
  source.addEventListener('reading', (e) => onReading(JSON.parse(e.data)));
  source.addEventListener('error', () => {
    $('offline-banner').hidden = false;
    // A refusal (503 when too many pages are open) closes the stream for
    // good; a dropped connection is retried by the browser itself.
    if (source.readyState === EventSource.CLOSED) setTimeout(connect, 10000);
  });
  // After a lost connection, the charts fill the gap.
  let opened = false;
  source.addEventListener('open', () => { if (opened) loadHistory(); opened = true; });
}

function drawTicks() {
  const ns = 'http://www.w3.org/2000/svg';
  for (let deg = 0; deg < 360; deg += 30) {
    const tick = document.createElementNS(ns, 'line');
    tick.setAttribute('y1', '-92');
    tick.setAttribute('y2', deg % 90 === 0 ? '-78' : '-84');
    tick.setAttribute('class', 'tick');
    tick.setAttribute('transform', `rotate(${deg})`);
    $('ticks').appendChild(tick);
  }
}

// Chart.js (about 200 KB to compile) is asked for once the first frame is
// up, so that the figures are on screen before it, not after it.
const chartsReady = new Promise((resolve) => {
  requestAnimationFrame(() => setTimeout(() => {
    const script = document.createElement('script');
    script.src = '/chart.min.js';
    script.onload = resolve;
    document.head.appendChild(script);
  }, 0));
});

function start() {
  drawTicks();
  $('limit-form').addEventListener('submit', setLimit);
  $('limit-reset').addEventListener('click', resetLimit);
  $('limit-unit').addEventListener('change', () => { save(UNIT_KEY, 'unit', $('limit-unit').value); showLimitForm(); });
  $('station').addEventListener('change', () => {
    state.station = $('station').value;
    state.view = state.status.stations.find((x) => x.id === state.station) || null;
    renderAll();
    loadHistory();
  });
  for (const b of document.querySelectorAll('.spans button')) b.addEventListener('click', () => chooseSpan(Number(b.dataset.span)));
  $('csv-link').addEventListener('click', updateCsvLink);
  setInterval(() => {
    $('clock').textContent = clockText(serverNow());
    // A server that stopped talking without closing: the status comes every second.
    if (state.lastEvent && Date.now() - state.lastEvent > 5000) $('offline-banner').hidden = false;
  }, 500);
  renderAll();
  connect();
  loadHistory();
}

window.anemobus = { charts, state };
start();
