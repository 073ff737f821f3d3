// Every station at a glance, for an operations centre: a tile per station
// with its state by the headline's own rules (common.judge), the wind now
// and the 10-minute gust, the direction and the age of the last reading.
// Tiles with a problem come first. One live stream carries every station:
// the status, every second, holds each station's latest view, so the
// stream is asked for without reading events (64 stations at 1 Hz would
// wake the browser some 50 times a second for nothing), and a tile's texts
// are set only when they change.
'use strict';

const c = common;
const $ = (id) => document.getElementById(id);
const NS = 'http://www.w3.org/2000/svg';
// Problems first: over the limit, then no current data or readings not
// from the relay.
const RANK = { over: 0, stale: 1, unconfirmed: 1, none: 2, within: 2 };

const state = { status: null, offsetMs: 0, link: 'connecting', tiles: new Map(), order: '', wasLost: false };
const serverNow = () => Date.now() + state.offsetMs;

function element(tag, className, parent) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (parent) parent.appendChild(e);
  return e;
}

// A tile's parts, made once; render() sets their texts.
function makeTile(id) {
  const a = element('a', 'tile');
  a.href = `/?id=${encodeURIComponent(id)}`;
  const head = element('div', 'tile-head', a);
  element('span', 'tile-name', head).textContent = id;
  const age = element('span', 'tile-age', head);
  const said = element('div', 'tile-state', a);
  const figures = element('div', 'tile-figures', a);
  const svg = document.createElementNS(NS, 'svg');
  svg.setAttribute('viewBox', '-50 -50 100 100');
  svg.setAttribute('class', 'tile-arrow');
  const ring = document.createElementNS(NS, 'circle');
  ring.setAttribute('r', '46');
  const arrow = document.createElementNS(NS, 'g');
  const shaft = document.createElementNS(NS, 'line');
  shaft.setAttribute('y1', '-34');
  shaft.setAttribute('y2', '14');
  const tip = document.createElementNS(NS, 'polygon');
  tip.setAttribute('points', '0,38 -12,12 12,12');
  arrow.append(shaft, tip);
  svg.append(ring, arrow);
  figures.appendChild(svg);
  const figure = (what) => {
    const box = element('div', 'tile-figure', figures);
    const line = element('div', 'figure', box);
    const value = element('span', '', line);
    element('span', 'unit u-wind', line).textContent = c.windLabel();
    element('div', 'tile-sub', box).textContent = what;
    return value;
  };
  const tile = { a, age, said, arrow, wind: figure('now'), gust: figure('10-min gust'), shown: {} };
  return tile;
}

// Sets a text or attribute only when it changed: most do not, each second.
function put(tile, key, value, apply) {
  if (tile.shown[key] === value) return;
  tile.shown[key] = value;
  apply(value);
}

function renderTile(tile, view, verdict, now) {
  put(tile, 'state', verdict.mode, (v) => { tile.a.dataset.state = v; });
  put(tile, 'said', verdict.short, (v) => { tile.said.textContent = v; });
  put(tile, 'title', verdict.text, (v) => { tile.a.title = v; });
  put(tile, 'wind', c.windFigure(view.wind), (v) => { tile.wind.textContent = v; });
  put(tile, 'gust', c.windFigure(view.gust_10min), (v) => { tile.gust.textContent = v; });
  put(tile, 'age', c.agoText(now - view.t), (v) => { tile.age.textContent = v; });
  const direction = c.validDirection(view.direction) ? `rotate(${Math.round(view.direction)})` : '';
  put(tile, 'arrow', direction, (v) => {
    if (v) tile.arrow.setAttribute('transform', v);
    tile.arrow.style.display = v ? '' : 'none';
  });
}

function render() {
  const s = state.status;
  if (!s) return;
  const now = serverNow();
  const lost = state.link !== 'live' || stream.lost();
  const limit = c.limitMs(s);
  const seen = new Set();
  const ranked = [];
  const counts = { over: 0, stale: 0, unconfirmed: 0 };
  for (const view of s.stations) {
    seen.add(view.id);
    let tile = state.tiles.get(view.id);
    if (!tile) {
      tile = makeTile(view.id);
      state.tiles.set(view.id, tile);
    }
    const verdict = c.judge(view, limit, now, lost);
    if (verdict.mode in counts) counts[verdict.mode]++;
    renderTile(tile, view, verdict, now);
    ranked.push([RANK[verdict.mode], view.id, tile]);
  }
  for (const [id, tile] of state.tiles) {
    if (!seen.has(id)) {
      tile.a.remove();
      state.tiles.delete(id);
    }
  }
  ranked.sort((a, b) => a[0] - b[0] || (a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0));
  const order = ranked.map((r) => r[1]).join('\n');
  if (order !== state.order) {
    state.order = order;
    $('tiles').replaceChildren(...ranked.map((r) => r[2].a));
  }
  const total = s.stations.length;
  const parts = [`${total} station${total === 1 ? '' : 's'}`];
  if (counts.over) parts.push(`${counts.over} over the limit`);
  if (counts.stale) parts.push(`${counts.stale} with no current data`);
  if (counts.unconfirmed) parts.push(`${counts.unconfirmed} not from the relay`);
  if (limit === null) parts.push('no wind limit set');
  const summary = total === 0 ? 'No station heard yet.' : parts.join(' · ');
  if ($('summary').textContent !== summary) $('summary').textContent = summary;
  renderBanners();
  if (!state.drawn && total > 0) {
    state.drawn = true;
    performance.mark('anemobus-tiles-drawn');
  }
}

function renderBanners() {
  const s = state.status;
  const offline = state.link === 'full'
    ? 'Too many pages open: this one is not live. Close another; it tries again every 10 s.'
    : (state.link === 'lost' ? 'No connection to anemobus-web: trying again' : '');
  c.setBanner('offline-banner', offline);
  c.setBanner('broker-banner', s ? c.brokerBannerText(s.broker) : '');
  c.setBanner('log-banner', s ? c.logBannerText(s.log) : '');
}

const stream = c.liveStream({
  event(name, data) {
    state.link = 'live';
    if (name !== 'status') return;
    state.status = JSON.parse(data);
    state.offsetMs = state.status.now - Date.now();
    render();
  },
  lost() {
    state.link = 'lost';
    render();
    renderBanners();
  },
  async full(res) {
    state.link = 'full';
    try {
      state.status = await (await fetch('/api/latest', { cache: 'no-store' })).json();
      state.offsetMs = state.status.now - Date.now();
    } catch (err) {
      // The banner says it; the tiles stay as they were.
    }
    render();
    renderBanners();
    return c.retryAfter(res);
  },
}, '/api/events?readings=none');

// Twice a second: the clock and a server that stopped talking. While the
// stream is live its status redraws the tiles; without it, the timer does.
function everyHalfSecond() {
  $('clock').textContent = c.clockText(serverNow());
  stream.check();
  const lost = state.link !== 'live' || stream.lost();
  if (lost || lost !== state.wasLost) render();
  state.wasLost = lost;
}

function start() {
  c.wireSettings(() => {
    c.showUnitLabels();
    for (const tile of state.tiles.values()) tile.shown = {};
    render();
  });
  c.showUnitLabels();
  setInterval(everyHalfSecond, 500);
  document.addEventListener('visibilitychange', () => { if (!document.hidden) everyHalfSecond(); });
  stream.start();
}

window.anemobus = { state };
start();
