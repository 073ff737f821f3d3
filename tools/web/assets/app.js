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
'use strict';

const KNOTS_PER_MS = 3600 / 1852;
const LIMIT_KEY = 'anemobus.windLimit';
const UNIT_KEY = 'anemobus.limitUnit';
const ALARM_KEY = 'anemobus.alarm';
const HOUR_MS = 3600 * 1000;
const MAX_LIMIT_MS = 150;      // the most a station measures; the server refuses more
const SILENT_PERIODS = 3;      // no reading for this many periods: no current data
const LOST_AFTER_MS = 5000;    // no event for this long: the server is lost
const FULL_RETRY_MS = 10000;   // the server's Retry-After when too many pages are open

const state = {
  station: null,       // the aircraft id shown
  status: null,        // the latest status
  view: null,          // the shown station's latest view
  offsetMs: 0,         // server clock minus this browser's clock
  spanHours: 1,
  bucketMs: 5000,
  loading: 0,          // a counter, so that an old load never overwrites a newer one
  lastEvent: 0,        // this browser's clock at the last event of the live stream
  link: 'connecting',  // the live stream: connecting, live, lost, full
  lostSince: 0,
  mode: 'connecting',  // the headline: connecting, none, within, over, stale, full
  limitProblem: '',    // why the limit typed was not taken
  alarms: 0,           // how many times the alarm went off
};

const $ = (id) => document.getElementById(id);
const fixed = (v, digits) => (v === null || v === undefined || !Number.isFinite(v)) ? '–' : v.toFixed(digits);
const knots = (ms) => fixed(ms * KNOTS_PER_MS, 1);
const serverNow = () => Date.now() + state.offsetMs;
const pad = (n) => String(n).padStart(2, '0');
const clockText = (ms) => { const d = new Date(ms); return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`; };
const hourText = (ms) => { const d = new Date(ms); return `${pad(d.getHours())}:${pad(d.getMinutes())}`; };
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
const POINTS = ['N', 'NNE', 'NE', 'ENE', 'E', 'ESE', 'SE', 'SSE', 'S', 'SSW', 'SW', 'WSW', 'W', 'WNW', 'NW', 'NNW'];
const validDirection = (d) => Number.isFinite(d) && d >= 0 && d <= 360;

// "from N 0°": whole degrees, 359.6 and 360 being north at 0.
function directionText(d) {
  if (!validDirection(d)) return 'no direction';
  const degrees = Math.round(d) % 360;
  return `from ${POINTS[Math.round(degrees / 22.5) % 16]} ${degrees}°`;
}

// A time axis label: the time, and under it the date at midnight.
function tickText(ms) {
  const d = new Date(ms);
  return d.getHours() === 0 && d.getMinutes() === 0 ? [hourText(ms), `${d.getDate()} ${MONTHS[d.getMonth()]}`] : hourText(ms);
}

function agoText(ms) {
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 120) return `${s} s ago`;
  return s < 2 * 3600 ? `${Math.floor(s / 60)} min ago` : `${Math.floor(s / 3600)} h ago`;
}

// ---- The wind limit: this browser's choice, else the server's default.
// Read from storage once: the first access can cost a round trip to the browser.
const saved = {
  limit: parseFloat(localStorage.getItem(LIMIT_KEY)),
  unit: localStorage.getItem(UNIT_KEY),
  alarm: localStorage.getItem(ALARM_KEY) === 'on',
};
const usableLimit = (v) => Number.isFinite(v) && v > 0 && v <= MAX_LIMIT_MS;
function storedLimit() {
  return usableLimit(saved.limit) ? saved.limit : null;
}
function save(key, field, value) {
  saved[field] = value;
  if (value === null) localStorage.removeItem(key); else localStorage.setItem(key, String(value));
}
function serverLimit() {
  return state.status && Number.isFinite(state.status.wind_limit) ? state.status.wind_limit : null;
}
function limitMs() {
  const own = storedLimit();
  return own !== null ? own : serverLimit();
}
function limitUnit() { return saved.unit === 'kt' ? 'kt' : 'ms'; }
function showLimitForm() {
  const limit = limitMs();
  const unit = limitUnit();
  $('limit-unit').value = unit;
  if (document.activeElement !== $('limit-input')) {
    $('limit-input').value = limit === null ? '' : (unit === 'kt' ? limit * KNOTS_PER_MS : limit).toFixed(1);
  }
  const server = serverLimit();
  const note = $('limit-note');
  note.classList.toggle('problem', Boolean(state.limitProblem));
  if (state.limitProblem) note.textContent = state.limitProblem;
  else if (storedLimit() !== null) note.textContent = `Set in this browser. Default: ${server === null ? 'none' : fixed(server, 1) + ' m/s'}.`;
  else note.textContent = server === null ? 'No default limit (--wind-limit).' : 'The default, from --wind-limit.';
}
function setLimit(event) {
  event.preventDefault();
  const unit = $('limit-unit').value === 'kt' ? 'kt' : 'ms';
  const typed = parseFloat($('limit-input').value);
  const ms = unit === 'kt' ? typed / KNOTS_PER_MS : typed;
  save(UNIT_KEY, 'unit', unit);
  if (usableLimit(ms)) {
    save(LIMIT_KEY, 'limit', ms);
    state.limitProblem = '';
    $('limit-input').blur();
  } else {
    state.limitProblem = `A limit is above 0 and at most ${MAX_LIMIT_MS} m/s (${knots(MAX_LIMIT_MS)} kt); the limit stays ${fixed(limitMs(), 1)} m/s.`;
  }
  renderAll();
}
function resetLimit() {
  save(LIMIT_KEY, 'limit', null);
  state.limitProblem = '';
  renderAll();
}

// ---- The alarm: off until turned on here, kept per browser. A browser lets
// a page sound only after a tap on it, so the sound is prepared on the tap
// that turns the alarm on, or on the first tap after a reload.
const alarm = { audio: null };
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
    : 'Sounds and vibrates when the state turns over limit or no current data.';
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
  const v = state.view;
  if (state.link === 'full') return { mode: 'full', text: 'TOO MANY PAGES OPEN: this page is not live' };
  if (!state.status) return { mode: 'connecting', text: 'Connecting to anemobus-web…' };
  const age = v ? serverNow() - v.t : Infinity;
  const lost = Date.now() - state.lastEvent > LOST_AFTER_MS;
  if (lost || !v || age > SILENT_PERIODS * 1000 * (v.period || 1)) {
    return { mode: 'stale', text: v ? `NO CURRENT DATA: last reading ${clockText(v.t)}, ${agoText(age)}` : 'NO CURRENT DATA: no recent reading' };
  }
  // Readings another bus agent sent are shown, never judged against the limit.
  if (v.unexpected_sender) {
    return { mode: 'unconfirmed', text: `NOT FROM THE RELAY: readings sent by ${v.unexpected_sender}` };
  }
  const limit = limitMs();
  if (limit === null) return { mode: 'none', text: 'No wind limit set' };
  const worst = Math.max(v.wind, v.gust_10min);
  const what = v.gust_10min > v.wind ? '10-min gust' : 'wind';
  if (worst > limit) {
    return { mode: 'over', text: `OVER LIMIT: ${what} ${fixed(worst, 1)} m/s (${knots(worst)} kt) > ${fixed(limit, 1)} m/s (${knots(limit)} kt)` };
  }
  return { mode: 'within', text: `WITHIN LIMIT of ${fixed(limit, 1)} m/s (${knots(limit)} kt)` };
}

// ---- The figures.
function renderHeadline() {
  const v = state.view;
  $('wind-ms').textContent = v ? fixed(v.wind, 1) : '–';
  $('wind-kt').textContent = v ? knots(v.wind) : '–';
  $('mean-ms').textContent = v ? fixed(v.wind_mean_2min, 1) : '–';
  $('mean-kt').textContent = v ? knots(v.wind_mean_2min) : '–';
  $('gust-ms').textContent = v ? fixed(v.gust_10min, 1) : '–';
  $('gust-kt').textContent = v ? knots(v.gust_10min) : '–';
  const { mode, text } = judge();
  $('headline').dataset.state = mode;
  document.body.classList.toggle('stale', mode === 'stale' || mode === 'full' || mode === 'unconfirmed');
  $('limit-state').textContent = text;
  followMode(mode);
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
  } else {
    arrow.setAttribute('hidden', '');
  }
  $('direction-text').textContent = v ? directionText(v.direction) : '–';
  $('updated').textContent = v ? clockText(v.t) : '–';
}

function renderBanners() {
  const s = state.status;
  const v = state.view;
  const quiet = v && state.link === 'live' && serverNow() - v.t > SILENT_PERIODS * 1000 * (v.period || 1);
  $('silent-banner').hidden = !quiet;
  if (quiet) $('silent-banner').textContent = `Station silent since ${clockText(v.t)}`;
  const offline = $('offline-banner');
  offline.hidden = state.link !== 'lost' && state.link !== 'full';
  offline.textContent = state.link === 'full'
    ? 'Too many pages open on anemobus-web: this page is not live. Close another page; this one tries again every 10 s.'
    : `No connection to anemobus-web${state.lastEvent ? ` since ${clockText(state.lostSince)}` : ''} – trying again`;
  const broker = s && s.broker;
  $('broker-banner').hidden = !broker || broker.connected;
  if (broker && !broker.connected) {
    $('broker-banner').textContent = `No connection to the broker since ${clockText(broker.since)}: ${broker.state}`;
  }
  const log = $('log-banner');
  const notice = s && s.log.notice ? `Reading log: ${s.log.notice} (${clockText(s.log.notice_at)}).` : '';
  log.hidden = !s || (s.log.ok && !notice);
  if (s && !s.log.ok) log.textContent = `Reading log unavailable (live readings only): ${s.log.error}`;
  else if (notice) log.textContent = notice;
  if (s) {
    $('refused').textContent = String(s.refused);
    $('log-path').textContent = s.log.path || 'none';
  }
}

function renderStations() {
  const stations = state.status ? state.status.stations : [];
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
      x: { type: 'linear', ticks: { color: '#000', callback: (v) => tickText(v) }, afterBuildTicks: roundTicks, grid: { color: '#ccc' } },
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

// A silence longer than this between two points is a break in the lines,
// not a straight line across it: three buckets, or three of the station's
// periods when they are longer.
function gapMs() {
  return Math.max(3 * state.bucketMs, SILENT_PERIODS * 1000 * ((state.view && state.view.period) || 1));
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

// A live reading joins the last bucket, or starts the next one, after a
// break when the station was silent meanwhile.
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
    if (last && last.y !== null && start - last.x > gapMs()) pushBreak([mean, gust, pressure], last.x);
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
function applyStatus(s) {
  state.status = s;
  state.offsetMs = s.now - Date.now();
  const known = s.stations.map((x) => x.id);
  // A new page opens on the server's choice: -i, else the busiest id.
  if (!state.station || !known.includes(state.station)) state.station = s.default || known[known.length - 1] || null;
  state.view = s.stations.find((x) => x.id === state.station) || null;
  renderAll();
  // The first load asked for the server's choice; another station needs its own.
  if (state.historyOf !== undefined && state.historyOf !== state.station) loadHistory();
}

// A reading from a broker may come late (a replay): its station's view then
// keeps its newest reading, already drawn, and only the figures change.
function onReading(v) {
  if (state.station === null) {
    state.station = v.id;
    loadHistory();
  }
  if (v.id !== state.station) return;
  state.view = v;
  renderAll();
  if (state.pointOf === v.id && v.t <= state.pointT) return;
  state.pointOf = v.id;
  state.pointT = v.t;
  addLivePoint(v);
}

function onEvent(block) {
  let name = 'message';
  let data = '';
  for (const line of block.split('\n')) {
    if (line.startsWith('event:')) name = line.slice(6).trim();
    else if (line.startsWith('data:')) data += line.slice(5).trim();
  }
  if (!data) return;
  state.lastEvent = Date.now();
  if (state.link !== 'live') {
    // After a lost connection, the charts fill the gap.
    if (state.link === 'lost') loadHistory();
    state.link = 'live';
  }
  if (name === 'status') applyStatus(JSON.parse(data));
  else if (name === 'reading') onReading(JSON.parse(data));
}

function lose() {
  if (state.link !== 'lost') state.lostSince = state.lastEvent || Date.now();
  state.link = 'lost';
  renderAll();
}

// A page the server turns away (too many open) says so, shows the latest
// figures as not live, and asks again when the server said to.
async function turnedAway(res) {
  const after = Number(res.headers.get('Retry-After'));
  state.link = 'full';
  try {
    applyStatus(await (await fetch('/api/latest', { cache: 'no-store' })).json());
  } catch (err) {
    renderAll();
  }
  return after > 0 ? after * 1000 : FULL_RETRY_MS;
}

async function readStream(stream) {
  const reader = stream.pipeThrough(new TextDecoderStream()).getReader();
  let buffer = '';
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    buffer += value.replace(/\r\n?/g, '\n');
    for (let cut = buffer.indexOf('\n\n'); cut >= 0; cut = buffer.indexOf('\n\n')) {
      onEvent(buffer.slice(0, cut));
      buffer = buffer.slice(cut + 2);
    }
  }
}

// The attempt in flight, if any: since when, and how to end it.
const stream = { open: false, since: 0, abort: () => {} };
async function connect() {
  const control = new AbortController();
  Object.assign(stream, { open: true, since: Date.now(), abort: () => control.abort() });
  let retry = 2000;
  try {
    const res = await fetch('/api/events', { cache: 'no-store', signal: control.signal });
    if (res.status === 503) {
      retry = await turnedAway(res);
    } else if (res.ok && res.body) {
      await readStream(res.body);
      lose();
    } else {
      lose();
    }
  } catch (err) {
    lose();
  }
  stream.open = false;
  setTimeout(connect, retry);
}

// Twice a second: the clock, the age of the data, and a server that stopped
// talking without closing (its status comes every second): the attempt is
// ended, which counts as lost, and another made.
function everyHalfSecond() {
  $('clock').textContent = clockText(serverNow());
  if (stream.open && Date.now() - Math.max(state.lastEvent, stream.since) > LOST_AFTER_MS) stream.abort();
  renderHeadline();
  renderBanners();
  renderAlarm();
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
  $('limit-input').addEventListener('input', () => { state.limitProblem = ''; });
  $('limit-unit').addEventListener('change', () => { save(UNIT_KEY, 'unit', $('limit-unit').value); showLimitForm(); });
  $('alarm-toggle').addEventListener('click', toggleAlarm);
  for (const type of ['pointerdown', 'keydown']) document.addEventListener(type, prepareSound, { capture: true });
  $('station').addEventListener('change', () => {
    state.station = $('station').value;
    state.view = state.status.stations.find((x) => x.id === state.station) || null;
    renderAll();
    loadHistory();
  });
  for (const b of document.querySelectorAll('.spans button')) b.addEventListener('click', () => chooseSpan(Number(b.dataset.span)));
  $('csv-link').addEventListener('click', updateCsvLink);
  setInterval(everyHalfSecond, 500);
  // A hidden page's timers are slowed to once a minute: judged again the
  // moment it is looked at, not up to a minute later.
  document.addEventListener('visibilitychange', () => { if (!document.hidden) everyHalfSecond(); });
  renderAll();
  renderAlarm();
  connect();
  loadHistory();
}

window.anemobus = { charts, state, directionText, tickText };
start();
