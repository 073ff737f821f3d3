// The live weather page. The status (every second) and each reading come on
// the live stream /api/events (Server-Sent Events, read with fetch() so that
// a refusal's status and reason can be seen); the charts load from
// /api/readings and then grow with the live readings, bucket by bucket as
// the server cuts them. Every text from the server is set as text, never as
// markup.
//
// A go/no-go is only given on fresh data: the page judges the age of the
// last reading and the silence of its server with its own clock, twice a
// second, so that a stale "within limit" cannot outlive a station or a
// server that stopped.
// The live weather page of one station. The status (every second) and each
// reading come on the live stream /api/events (common.js); the charts load
// from /api/readings and then grow with the live readings, bucket by bucket
// as the server cuts them. The wind rose and the day's extremes are worked
// out here from the same answers (see roseOf and loadToday). Every text from
// the server is set as text, never as markup.
//
// A go/no-go is only given on fresh data: the page judges the age of the
// last reading and the silence of its server with its own clock, twice a
// second, so that a stale "within limit" cannot outlive a station or a
// server that stopped.
'use strict';

const ALARM_KEY = 'anemobus.alarm';
const HOUR_MS = 3600 * 1000;
const MINUTE_MS = 60 * 1000;
const c = common;

// The station in the address (a bookmark, a tile of the overview) is kept
// whatever the server would open on: a go/no-go read off another station
// than the one asked for would be worse than none.
const linked = new URLSearchParams(location.search).get('id');

const state = {
  station: linked || null,  // the aircraft id shown
  status: null,        // the latest status
  view: null,          // the shown station's latest view
  offsetMs: 0,         // server clock minus this browser's clock
  spanHours: 1,
  roseHours: 1,
  bucketMs: 5000,
  loading: 0,          // a counter, so that an old load never overwrites a newer one
  link: 'connecting',  // the live stream: connecting, live, lost, full
  lostSince: 0,
  mode: 'connecting',  // the headline: connecting, none, within, over, stale, full
  limitProblem: '',    // why the limit typed was not taken
  alarms: 0,           // how many times the alarm went off
  today: null,         // the day's extremes: { day, gust, gustAt, tMin, tMax, pMin, pMax }
  rose: null,          // the wind rose's counts
};

const $ = (id) => document.getElementById(id);
const serverNow = () => Date.now() + state.offsetMs;
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
const POINTS = ['N', 'NNE', 'NE', 'ENE', 'E', 'ESE', 'SE', 'SSE', 'S', 'SSW', 'SW', 'WSW', 'W', 'WNW', 'NW', 'NNW'];

// "from N 0°": whole degrees, 359.6 and 360 being north at 0.
function directionText(d) {
  if (!c.validDirection(d)) return 'no direction';
  const degrees = Math.round(d) % 360;
  return `from ${POINTS[Math.round(degrees / 22.5) % 16]} ${degrees}°`;
}

// A time axis label: the time, and under it the date at midnight.
function tickText(ms) {
  const d = new Date(ms);
  return d.getHours() === 0 && d.getMinutes() === 0 ? [c.hourText(ms), `${d.getDate()} ${MONTHS[d.getMonth()]}`] : c.hourText(ms);
}

// ---- The wind limit: this browser's choice, else the server's default;
// kept in m/s, shown and typed in the chosen unit.
const limitMs = () => c.limitMs(state.status);
function limitInUnit(ms) {
  return c.saved.wind === 'bft' ? c.windFigure(ms) : c.windValue(ms).toFixed(1);
}
function showLimitForm() {
  const limit = limitMs();
  const input = $('limit-input');
  input.step = c.saved.wind === 'bft' ? '1' : '0.1';
  if (document.activeElement !== input) input.value = limit === null ? '' : limitInUnit(limit);
  const server = c.serverLimit(state.status);
  const note = $('limit-note');
  note.classList.toggle('problem', Boolean(state.limitProblem));
  if (state.limitProblem) note.textContent = state.limitProblem;
  else if (c.ownLimit() !== null) note.textContent = `Set in this browser. Default: ${server === null ? 'none' : c.windText(server)}.`;
  else note.textContent = server === null ? 'No default limit (--wind-limit).' : 'The default, from --wind-limit.';
}
function setLimit(event) {
  event.preventDefault();
  const typed = parseFloat($('limit-input').value);
  const ms = Number.isFinite(typed) ? c.windToMs(typed) : NaN;
  if (c.usableLimit(ms)) {
    c.save('limit', ms);
    state.limitProblem = '';
    $('limit-input').blur();
  } else {
    state.limitProblem = `A limit is above 0 and at most ${c.windText(c.MAX_LIMIT_MS)}; the limit stays ${limitMs() === null ? 'unset' : c.windText(limitMs())}.`;
  }
  renderAll();
}
function resetLimit() {
  c.save('limit', null);
  state.limitProblem = '';
  renderAll();
}

// ---- The alarm: off until turned on here, kept per browser. A browser lets
// a page sound only after a tap on it, so the sound is prepared on the tap
// that turns the alarm on, or on the first tap after a reload.
const alarm = { audio: null };
const saved = { alarm: localStorage.getItem(ALARM_KEY) === 'on' };
function prepareSound() {
  if (!saved.alarm) return;
  try {
    if (!alarm.audio) alarm.audio = new AudioContext();
    if (alarm.audio.state === 'suspended') alarm.audio.resume().then(renderAlarm, () => {});
  } catch (err) {
    alarm.audio = null;  // no Web Audio here: vibration only
  }
}
function toggleAlarm() {
  saved.alarm = !saved.alarm;
  if (saved.alarm) localStorage.setItem(ALARM_KEY, 'on'); else localStorage.removeItem(ALARM_KEY);
  prepareSound();
  renderAlarm();
}
function renderAlarm() {
  const button = $('alarm-toggle');
  button.setAttribute('aria-pressed', String(saved.alarm));
  button.textContent = saved.alarm ? 'Alarm on' : 'Alarm off';
  const mute = saved.alarm && !(alarm.audio && alarm.audio.state === 'running');
  $('alarm-note').textContent = mute
    ? 'Tap the page once to let it sound.'
    : 'Sounds and vibrates on over limit or no current data.';
}
// Over: three high tones; no current data: two low ones.
function soundAlarm(mode) {
  state.alarms++;
  const tones = mode === 'over' ? [880, 880, 880] : [440, 330];
  if (alarm.audio && alarm.audio.state === 'running') {
    const t0 = alarm.audio.currentTime;
    tones.forEach((hz, i) => {
      const osc = alarm.audio.createOscillator();
      const gain = alarm.audio.createGain();
      osc.frequency.value = hz;
      gain.gain.value = 0.4;
      osc.connect(gain).connect(alarm.audio.destination);
      osc.start(t0 + i * 0.35);
      osc.stop(t0 + i * 0.35 + 0.25);
    });
  }
  if (navigator.vibrate) navigator.vibrate(tones.flatMap(() => [300, 150]));
}
// The alarm goes off when the state turns over, stale or unconfirmed from a state the
// page saw live; not on opening, when nobody was told otherwise yet.
function followMode(mode) {
  const before = state.mode;
  state.mode = mode;
  const watched = ['none', 'within', 'over', 'stale', 'unconfirmed'];
  const alarming = mode === 'over' || mode === 'stale' || mode === 'unconfirmed';
  if (saved.alarm && mode !== before && alarming && watched.includes(before)) soundAlarm(mode);
}

// ---- What the page may say: the limit state only on fresh data.
function judge() {
  if (state.link === 'full') return { mode: 'full', text: 'TOO MANY PAGES OPEN: this page is not live' };
  if (!state.status) return { mode: 'connecting', text: 'Connecting to anemobus-web…' };
  return c.judge(state.view, limitMs(), serverNow(), stream.lost());
}

// ---- The figures.
function showWind(id, ms) {
  const v = state.view;
  $(`${id}-main`).textContent = v ? c.windFigure(ms) : '–';
  $(`${id}-alt`).textContent = v ? c.windFigure(ms, c.altUnit()) : '–';
}

function renderHeadline() {
  const v = state.view;
  showWind('wind', v && v.wind);
  showWind('mean', v && v.wind_mean_2min);
  showWind('gust', v && v.gust_10min);
  const { mode, text } = judge();
  $('headline').dataset.state = mode;
  document.body.classList.toggle('stale', mode === 'stale' || mode === 'full' || mode === 'unconfirmed');
  $('limit-state').textContent = text;
  followMode(mode);
}

function renderWeather() {
  const v = state.view;
  $('station-name').textContent = state.station ? `· ${state.station}` : '';
  $('temperature').textContent = v ? c.temperatureFigure(v.temperature) : '–';
  $('pressure').textContent = v ? c.pressureFigure(v.pressure) : '–';
  const t = v ? v.pressure_tendency_3h : null;
  if (!Number.isFinite(t)) {
    $('tendency').textContent = v ? '3-hour tendency: needs 3 h of readings' : '3-hour tendency –';
  } else {
    const word = Math.abs(t) < 10 ? 'steady' : (t > 0 ? 'rising' : 'falling');
    const unit = c.saved.pressure === 'inhg' ? 'inHg' : 'hPa';
    $('tendency').textContent = `${t >= 0 ? '+' : '−'}${c.pressureFigure(Math.abs(t))} ${unit} in 3 h, ${word}`;
  }
  const arrow = $('arrow');
  if (v && c.validDirection(v.direction)) {
    arrow.removeAttribute('hidden');
    arrow.setAttribute('transform', `rotate(${v.direction})`);
  } else {
    arrow.setAttribute('hidden', '');
  }
  $('direction-text').textContent = v ? directionText(v.direction) : '–';
  $('updated').textContent = v ? c.clockText(v.t) : '–';
  renderToday();
}

function renderBanners() {
  const s = state.status;
  const v = state.view;
  const quiet = v && state.link === 'live' && c.silentAt(v, serverNow());
  c.setBanner('silent-banner', quiet ? `Station silent since ${c.clockText(v.t)}` : '');
  const offline = state.link === 'full'
    ? 'Too many pages open: this one is not live. Close another; it tries again every 10 s.'
    : `No connection to anemobus-web${stream.lastEvent ? ` since ${c.clockText(state.lostSince)}` : ''}: trying again`;
  c.setBanner('offline-banner', state.link === 'lost' || state.link === 'full' ? offline : '');
  c.setBanner('broker-banner', s ? c.brokerBannerText(s.broker) : '');
  c.setBanner('log-banner', s ? c.logBannerText(s.log) : '');
  if (s) {
    $('refused').textContent = String(s.refused);
    $('log-path').textContent = s.log.path || 'none';
  }
}

// The list offers every station, and the one asked for by the address even
// before (or after) it is heard.
function renderStations() {
  const stations = state.status ? state.status.stations.slice() : [];
  if (state.station && !stations.some((x) => x.id === state.station)) stations.push({ id: state.station });
  const ids = stations.map((x) => x.id);
  $('station-pick').hidden = ids.length < 2;
  const select = $('station');
  const label = (x) => (x.unexpected_sender ? `${x.id} (not from the relay)` : x.id);
  const shown = Array.from(select.options).map((o) => o.text);
  if (shown.join('\n') !== stations.map(label).join('\n')) {
    select.replaceChildren(...stations.map((x) => new Option(label(x), x.id)));
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

// ---- The day's extremes, in this browser's day: the minute buckets of the
// log since local midnight (the gust is the true highest reading; the
// temperature and pressure are minute means), then each live reading.
function localMidnight(ms) {
  const d = new Date(ms);
  return new Date(d.getFullYear(), d.getMonth(), d.getDate()).getTime();
}

async function loadToday() {
  const id = state.station;
  const to = serverNow();
  const from = localMidnight(to);
  const query = new URLSearchParams({ from: String(from), to: String(Math.round(to)), points: '1500' });
  if (id) query.set('id', id);
  try {
    const answer = await (await fetch(`/api/readings?${query}`, { cache: 'no-store' })).json();
    // Asked without an id, the answer names the server's choice.
    if (answer.id !== state.station || !Array.isArray(answer.points)) return;
    const today = { day: from, gust: null, gustAt: 0, tMin: null, tMax: null, pMin: null, pMax: null };
    for (const p of answer.points) foldToday(today, p[0], p[3], p[6], p[5]);
    state.today = today;
    renderToday();
  } catch (err) {
    // Tried again with the next minute.
  }
}

function foldToday(today, t, gust, temperature, pressure) {
  const more = (a, b) => (a === null || b > a);
  const less = (a, b) => (a === null || b < a);
  if (c.finite(gust) && more(today.gust, gust)) { today.gust = gust; today.gustAt = t; }
  if (c.finite(temperature)) {
    if (less(today.tMin, temperature)) today.tMin = temperature;
    if (more(today.tMax, temperature)) today.tMax = temperature;
  }
  if (c.finite(pressure)) {
    if (less(today.pMin, pressure)) today.pMin = pressure;
    if (more(today.pMax, pressure)) today.pMax = pressure;
  }
}

function renderToday() {
  const t = state.today;
  const known = t && t.gust !== null;
  $('today-gust').textContent = known ? c.windFigure(t.gust) : '–';
  $('today-gust-at').textContent = known ? `at ${c.hourText(t.gustAt)}` : '';
  $('today-temperature').textContent = known ? `${c.temperatureFigure(t.tMin)} to ${c.temperatureFigure(t.tMax)}` : '–';
  $('today-pressure').textContent = known ? `${c.pressureFigure(t.pMin)} to ${c.pressureFigure(t.pMax)}` : '–';
}

// ---- The wind rose: how often the wind came from each of 16 directions,
// by Beaufort band, over the last hour or day. Worked out here from the
// chart's kind of answer (720 buckets: 5 s for an hour, 2 min for a day,
// each with its mean speed, vector-mean direction and count): the log's
// minute sums serve a day in 1440 rows, and the server does no new work.
const ROSE_BANDS = [3.4, 5.5, 8.0, 10.8, 13.9, Infinity];  // upper edges, m/s: Bft 0-2, 3, 4, 5, 6, 7+

function roseOf(points) {
  const counts = Array.from({ length: 16 }, () => ROSE_BANDS.map(() => 0));
  let total = 0;
  let calm = 0;
  for (const p of points) {
    const n = p[1];
    if (!c.validDirection(p[4]) || !c.finite(p[2])) { calm += n; continue; }
    const sector = Math.round(p[4] / 22.5) % 16;
    counts[sector][ROSE_BANDS.findIndex((edge) => p[2] < edge)] += n;
    total += n;
  }
  return { counts, total, calm };
}

async function loadRose() {
  const id = state.station;
  const hours = state.roseHours;
  const to = serverNow();
  const query = new URLSearchParams({ from: String(Math.round(to - hours * HOUR_MS)), to: String(Math.round(to)), points: '720' });
  if (id) query.set('id', id);
  try {
    const answer = await (await fetch(`/api/readings?${query}`, { cache: 'no-store' })).json();
    if (answer.id !== state.station || hours !== state.roseHours || !Array.isArray(answer.points)) return;
    state.rose = roseOf(answer.points);
    drawRose();
  } catch (err) {
    // Tried again with the next minute.
  }
}

function wedge(r0, r1, a0, a1) {
  const at = (r, a) => `${(r * Math.sin(a)).toFixed(2)} ${(-r * Math.cos(a)).toFixed(2)}`;
  return `M${at(r0, a0)}L${at(r1, a0)}A${r1.toFixed(2)} ${r1.toFixed(2)} 0 0 1 ${at(r1, a1)}L${at(r0, a1)}A${r0.toFixed(2)} ${r0.toFixed(2)} 0 0 0 ${at(r0, a0)}Z`;
}

function drawRose() {
  const ns = 'http://www.w3.org/2000/svg';
  const svg = $('rose');
  const rose = state.rose;
  const parts = [];
  const ring = (r) => { const e = document.createElementNS(ns, 'circle'); e.setAttribute('r', String(r)); e.setAttribute('class', 'rose-ring'); return e; };
  parts.push(ring(100), ring(50));
  for (const [text, x, y] of [['N', 0, -102], ['E', 104, 0], ['S', 0, 104], ['W', -104, 0]]) {
    const e = document.createElementNS(ns, 'text');
    Object.entries({ x, y, class: 'rose-letter' }).forEach(([k, v]) => e.setAttribute(k, String(v)));
    e.textContent = text;
    parts.push(e);
  }
  const most = rose ? Math.max(...rose.counts.map((bands) => bands.reduce((a, b) => a + b, 0))) : 0;
  if (rose && most > 0) {
    rose.counts.forEach((bands, sector) => {
      const a0 = ((sector * 22.5 - 9) * Math.PI) / 180;
      const a1 = ((sector * 22.5 + 9) * Math.PI) / 180;
      let r = 6;
      bands.forEach((n, band) => {
        if (n === 0) return;
        const r1 = r + (94 * n) / most;
        const e = document.createElementNS(ns, 'path');
        e.setAttribute('d', wedge(r, r1, a0, a1));
        e.setAttribute('class', `band-${band}`);
        parts.push(e);
        r = r1;
      });
    });
  }
  svg.replaceChildren(...parts);
  const share = rose && rose.total > 0 ? Math.round((100 * most) / rose.total) : 0;
  const calm = rose && rose.total + rose.calm > 0 ? Math.round((100 * rose.calm) / (rose.total + rose.calm)) : 0;
  $('rose-note').textContent = !rose ? '' : rose.total === 0
    ? 'No readings with a direction in this span.'
    : `Outer ring: ${share}% of the time${calm ? `; no direction ${calm}%` : ''}.`;
  drawRoseLegend();
}

function drawRoseLegend() {
  const edges = [0, ...ROSE_BANDS];
  const text = (ms) => (c.saved.wind === 'bft' ? `Bft ${c.windFigure(ms)}` : `${Math.round(c.windValue(ms))}`);
  const items = ROSE_BANDS.map((edge, i) => {
    const li = document.createElement('li');
    const swatch = document.createElement('span');
    swatch.className = `swatch band-${i}`;
    const label = c.saved.wind === 'bft'
      ? (i === 0 ? 'Bft 0–2' : (edge === Infinity ? `Bft ${c.windFigure(edges[i])}+` : text(edges[i])))
      : (i === 0 ? `< ${text(edge)}` : (edge === Infinity ? `≥ ${text(edges[i])}` : `${text(edges[i])}–${text(edge)}`));
    li.append(swatch, `${label}${c.saved.wind === 'bft' ? '' : ` ${c.windLabel()}`}`);
    return li;
  });
  $('rose-legend').replaceChildren(...items);
}

function chooseRose(hours) {
  state.roseHours = hours;
  for (const b of document.querySelectorAll('[data-rose]')) b.setAttribute('aria-pressed', String(Number(b.dataset.rose) === hours));
  loadRose();
}

// ---- The charts.
const charts = {};
// Every chart's value axis takes this width, so that the three time axes
// line up whatever their labels (1013.2 or 29.92, N or 360).
const Y_AXIS_WIDTH = 64;

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
      x: { type: 'linear', ticks: { color: '#000', callback: (v) => tickText(v) }, afterBuildTicks: roundTicks, grid: { color: '#ccc' } },
      y: Object.assign({ ticks: { color: '#000', font: { size: 13 } }, grid: { color: '#ccc' }, afterFit: (axis) => { axis.width = Y_AXIS_WIDTH; } }, extraY),
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
  // Pressure in plain digits: 1012.5, not the locale's 1,012.5.
  // Steps of the shown precision, so no two labels read the same.
  const pOptions = axisOptions({ ticks: { color: '#000', font: { size: 13 }, precision: c.pressureDigits(), callback: (v) => Number(v).toFixed(c.pressureDigits()) } });
  pOptions.plugins.legend.display = false;
  charts.pressure = new Chart($('chart-pressure'), {
    type: 'line',
    data: { datasets: [line('Pressure', '#000', 2)] },
    options: pOptions,
  });
}

// A silence longer than this between two points is a break in the lines,
// not a straight line across it: three buckets, or three of the station's
// periods when they are longer.
function gapMs() {
  return Math.max(3 * state.bucketMs, c.SILENT_PERIODS * 1000 * ((state.view && state.view.period) || 1));
}

// The break: a point with no value just after the last one before the silence.
function pushBreak(sets, after) {
  for (const data of sets) data.push({ x: after + state.bucketMs, y: null });
}

// The points as the server sends them: [start, count, wind mean, wind max,
// direction, pressure, temperature].
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
  const gap = gapMs();
  let previous = null;
  for (const p of points) {
    if (previous !== null && p[0] - previous > gap) pushBreak([sets.mean, sets.gust, sets.pressure], previous);
    sets.mean.push({ x: p[0], y: c.windValue(p[2]), n: p[1] });
    sets.gust.push({ x: p[0], y: c.windValue(p[3]) });
    if (c.validDirection(p[4])) sets.dir.push({ x: p[0], y: p[4] });
    sets.pressure.push({ x: p[0], y: c.pressureValue(p[5]), n: p[1] });
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

// Ticks on round local times (every 10 minutes for an hour, 1 h for 6 h,
// 3 h for a day), counted from local midnight so that a change of summer
// time keeps them round and midnight is one of them.
const TICK_MINUTES = { 1: 10, 6: 60, 24: 180 };

function roundTicks(axis) {
  const step = TICK_MINUTES[state.spanHours] || 60;
  const day = new Date(axis.min);
  const ticks = [];
  for (let minutes = 0; ticks.length < 200; minutes += step) {
    const t = new Date(day.getFullYear(), day.getMonth(), day.getDate(), 0, minutes).getTime();
    if (t > axis.max) break;
    if (t >= axis.min) ticks.push({ value: t });
  }
  axis.ticks = ticks;
}

function setRange(from, to) {
  for (const chart of Object.values(charts)) {
    chart.options.scales.x.min = from;
    chart.options.scales.x.max = to;
  }
  placeLimitLine();
  for (const chart of Object.values(charts)) chart.update('none');
}

// The limit as a dashed line across the wind chart; true when it moved.
function placeLimitLine() {
  const limit = limitMs();
  const x = charts.wind.options.scales.x;
  const key = `${limit} ${c.saved.wind} ${x.min} ${x.max}`;
  if (key === state.limitLine) return false;
  state.limitLine = key;
  const y = c.windValue(limit);
  charts.wind.data.datasets[2].data = limit === null ? [] : [{ x: x.min, y }, { x: x.max, y }];
  return true;
}

function drawLimitLine() {
  if (charts.wind && placeLimitLine()) charts.wind.update('none');
}

// A live reading joins the last bucket, or starts the next one, after a
// break when the station was silent meanwhile.
function addLivePoint(v) {
  if (!charts.wind) return;
  const start = Math.floor(v.t / state.bucketMs) * state.bucketMs;
  const mean = charts.wind.data.datasets[0].data;
  const gust = charts.wind.data.datasets[1].data;
  const pressure = charts.pressure.data.datasets[0].data;
  const last = mean.length ? mean[mean.length - 1] : null;
  const wind = c.windValue(v.wind);
  if (last && last.x === start && last.y !== null) {
    const n = last.n || 1;
    last.y = (last.y * n + wind) / (n + 1);
    last.n = n + 1;
    gust[gust.length - 1].y = Math.max(gust[gust.length - 1].y, wind);
    const p = pressure[pressure.length - 1];
    p.y = (p.y * n + c.pressureValue(v.pressure)) / (n + 1);
  } else {
    if (last && last.y !== null && start - last.x > gapMs()) pushBreak([mean, gust, pressure], last.x);
    mean.push({ x: start, y: wind, n: 1 });
    gust.push({ x: start, y: wind });
    pressure.push({ x: start, y: c.pressureValue(v.pressure) });
    if (c.validDirection(v.direction)) charts.direction.data.datasets[0].data.push({ x: start, y: v.direction });
  }
  const to = serverNow();
  const from = to - state.spanHours * HOUR_MS;
  for (const chart of Object.values(charts)) {
    for (const ds of chart.data.datasets.slice(0, 2)) {
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
  for (const b of document.querySelectorAll('[data-span]')) {
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
function applyStatus(s) {
  state.status = s;
  state.offsetMs = s.now - Date.now();
  const known = s.stations.map((x) => x.id);
  // Without a station in the address, the server's choice: -i, else the busiest id.
  if (!state.station || (!linked && !known.includes(state.station))) {
    state.station = s.default || known[known.length - 1] || null;
  }
  state.view = s.stations.find((x) => x.id === state.station) || null;
  renderAll();
  // The first load asked for the server's choice; another station needs its own.
  if (state.historyOf !== undefined && state.historyOf !== state.station) showStation();
  else if (state.extrasOf !== state.station) loadExtras();
}

// A reading from a broker may come late (a replay): its station's view then
// keeps its newest reading, already drawn, and only the figures change.
function onReading(v) {
  if (state.station === null) {
    state.station = v.id;
    showStation();
  }
  if (v.id !== state.station) return;
  state.view = v;
  if (state.today && v.t >= state.today.day) foldToday(state.today, v.t, v.wind, v.temperature, v.pressure);
  renderAll();
  if (state.pointOf === v.id && v.t <= state.pointT) return;
  state.pointOf = v.id;
  state.pointT = v.t;
  addLivePoint(v);
}

function lose() {
  if (state.link !== 'lost') state.lostSince = stream.lastEvent || Date.now();
  state.link = 'lost';
  renderAll();
}

// A page the server turns away (too many open) says so, shows the latest
// figures as not live, and asks again when the server said to.
async function turnedAway(res) {
  state.link = 'full';
  try {
    applyStatus(await (await fetch('/api/latest', { cache: 'no-store' })).json());
  } catch (err) {
    renderAll();
  }
  return c.retryAfter(res);
}

const stream = c.liveStream({
  event(name, data) {
    if (state.link !== 'live') {
      // After a lost connection, the charts fill the gap.
      if (state.link === 'lost') loadHistory();
      state.link = 'live';
    }
    if (name === 'status') applyStatus(JSON.parse(data));
    else if (name === 'reading') onReading(JSON.parse(data));
  },
  lost: lose,
  full: turnedAway,
});

// Twice a second: the clock, the age of the data, and a server that stopped
// talking.
function everyHalfSecond() {
  $('clock').textContent = c.clockText(serverNow());
  stream.check();
  renderHeadline();
  renderBanners();
  renderAlarm();
  // The day turns at this browser's midnight.
  if (state.today && localMidnight(serverNow()) !== state.today.day) {
    state.today = null;
    loadToday();
  }
}

// Everything of the station shown, loaded afresh (another station chosen,
// the units changed).
function showStation() {
  loadHistory();
  loadExtras();
}

// The day's extremes and the rose, once the station is known (the first
// status names the server's choice).
function loadExtras() {
  state.extrasOf = state.station;
  state.today = null;
  state.rose = null;
  drawRose();
  if (!state.station) return;
  loadToday();
  loadRose();
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
  c.wireSettings(() => {
    c.showUnitLabels();
    if (charts.pressure) charts.pressure.options.scales.y.ticks.precision = c.pressureDigits();
    renderAll();
    drawRose();
    state.limitLine = null;
    loadHistory();
  });
  c.showUnitLabels();
  $('limit-form').addEventListener('submit', setLimit);
  $('limit-reset').addEventListener('click', resetLimit);
  $('limit-input').addEventListener('input', () => { state.limitProblem = ''; });
  $('alarm-toggle').addEventListener('click', toggleAlarm);
  for (const type of ['pointerdown', 'keydown']) document.addEventListener(type, prepareSound, { capture: true });
  $('station').addEventListener('change', () => {
    state.station = $('station').value;
    // The address follows, so that it can be bookmarked or passed on.
    history.replaceState(null, '', `/?id=${encodeURIComponent(state.station)}`);
    state.view = state.status.stations.find((x) => x.id === state.station) || null;
    renderAll();
    showStation();
  });
  for (const b of document.querySelectorAll('[data-span]')) b.addEventListener('click', () => chooseSpan(Number(b.dataset.span)));
  for (const b of document.querySelectorAll('[data-rose]')) b.addEventListener('click', () => chooseRose(Number(b.dataset.rose)));
  $('csv-link').addEventListener('click', updateCsvLink);
  setInterval(everyHalfSecond, 500);
  // The rose and the day's extremes follow the log a minute at a time.
  setInterval(() => { if (state.station) { loadToday(); loadRose(); } }, MINUTE_MS);
  // A hidden page's timers are slowed to once a minute: judged again the
  // moment it is looked at, not up to a minute later.
  document.addEventListener('visibilitychange', () => { if (!document.hidden) everyHalfSecond(); });
  renderAll();
  renderAlarm();
  stream.start();
  showStation();
}

window.anemobus = { charts, state, directionText, tickText, roseOf };
start();
