// What the station's page and the overview share: the units this browser
// chose, the limit, the rules of the headline's state, the sunlight mode
// and the live stream. Both pages judge a station by the same function, so
// a tile can never say "within limit" where the station's page would not.
'use strict';

const common = (() => {
  const KEYS = {
    limit: 'anemobus.windLimit',
    wind: 'anemobus.windUnit',
    temperature: 'anemobus.temperatureUnit',
    pressure: 'anemobus.pressureUnit',
    contrast: 'anemobus.sunlight',
  };
  const MAX_LIMIT_MS = 150;      // the most a station measures; the server refuses more
  const SILENT_PERIODS = 3;      // no reading for this many periods: no current data
  const LOST_AFTER_MS = 5000;    // no event for this long: the server is lost
  const FULL_RETRY_MS = 10000;   // the server's Retry-After when too many pages are open

  // The lower edge of each Beaufort force, in m/s (WMO), force 0 to 12.
  const BEAUFORT = [0, 0.3, 1.6, 3.4, 5.5, 8.0, 10.8, 13.9, 17.2, 20.8, 24.5, 28.5, 32.7];
  const beaufort = (ms) => {
    let force = 0;
    while (force < 12 && ms >= BEAUFORT[force + 1]) force++;
    return force;
  };
  // Each unit: its label, the value of a speed in m/s (continuous, for the
  // charts), the figure as shown, and back to m/s for a limit typed in it.
  const WIND = {
    ms: { label: 'm/s', factor: 1 },
    kt: { label: 'kt', factor: 3600 / 1852 },
    kmh: { label: 'km/h', factor: 3.6 },
    mph: { label: 'mph', factor: 3600 / 1609.344 },
    // A limit of force N is crossed by force N+1: just under its edge.
    bft: { label: 'Bft', value: (ms) => (ms / 0.836) ** (2 / 3), toMs: (n) => (Math.round(n) >= 12 ? MAX_LIMIT_MS : BEAUFORT[Math.max(0, Math.round(n)) + 1] - 0.01) },
  };
  const TEMPERATURE = { c: { label: '°C' }, f: { label: '°F' } };
  const PRESSURE = { hpa: { label: 'hPa', per: 100, digits: 1 }, inhg: { label: 'inHg', per: 3386.389, digits: 2 } };

  // Storage is read once: its first access can cost a round trip to the browser.
  const stored = (key) => localStorage.getItem(key);
  const saved = {
    limit: parseFloat(stored(KEYS.limit)),
    wind: WIND[stored(KEYS.wind)] ? stored(KEYS.wind) : 'ms',
    temperature: TEMPERATURE[stored(KEYS.temperature)] ? stored(KEYS.temperature) : 'c',
    pressure: PRESSURE[stored(KEYS.pressure)] ? stored(KEYS.pressure) : 'hpa',
    contrast: stored(KEYS.contrast),  // 'on', 'off', or null: follow the system
  };
  function save(field, value) {
    saved[field] = value;
    if (value === null) localStorage.removeItem(KEYS[field]); else localStorage.setItem(KEYS[field], String(value));
  }

  const finite = (v) => v !== null && v !== undefined && Number.isFinite(v);
  const fixed = (v, digits) => (finite(v) ? v.toFixed(digits) : '–');
  const windValue = (ms, unit = saved.wind) => (finite(ms) ? (WIND[unit].value ? WIND[unit].value(ms) : ms * WIND[unit].factor) : null);
  const windFigure = (ms, unit = saved.wind) => (unit === 'bft' ? (finite(ms) ? String(beaufort(ms)) : '–') : fixed(windValue(ms, unit), 1));
  const windLabel = (unit = saved.wind) => WIND[unit].label;
  // "12.3 km/h"; in Beaufort with its speed, as a force is a span of them.
  const windText = (ms) => (saved.wind === 'bft' ? `Bft ${windFigure(ms)} (${fixed(ms, 1)} m/s)` : `${windFigure(ms)} ${windLabel()}`);
  // The second figure under the chosen one: knots, or m/s when knots are chosen.
  const altUnit = () => (saved.wind === 'kt' ? 'ms' : 'kt');
  const windToMs = (typed, unit = saved.wind) => (WIND[unit].toMs ? WIND[unit].toMs(typed) : typed / WIND[unit].factor);
  const temperatureValue = (c) => (finite(c) && saved.temperature === 'f' ? c * 9 / 5 + 32 : c);
  const temperatureFigure = (c) => fixed(temperatureValue(c), 1);
  const pressureValue = (pa) => (finite(pa) ? pa / PRESSURE[saved.pressure].per : null);
  const pressureFigure = (pa) => fixed(pressureValue(pa), PRESSURE[saved.pressure].digits);
  const pressureDigits = () => PRESSURE[saved.pressure].digits;

  const usableLimit = (v) => Number.isFinite(v) && v > 0 && v <= MAX_LIMIT_MS;
  const ownLimit = () => (usableLimit(saved.limit) ? saved.limit : null);
  const serverLimit = (status) => (status && Number.isFinite(status.wind_limit) ? status.wind_limit : null);
  const limitMs = (status) => (ownLimit() !== null ? ownLimit() : serverLimit(status));

  const pad = (n) => String(n).padStart(2, '0');
  const clockText = (ms) => { const d = new Date(ms); return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`; };
  const hourText = (ms) => { const d = new Date(ms); return `${pad(d.getHours())}:${pad(d.getMinutes())}`; };
  function agoText(ms) {
    const s = Math.max(0, Math.round(ms / 1000));
    if (s < 120) return `${s} s ago`;
    return s < 2 * 3600 ? `${Math.floor(s / 60)} min ago` : `${Math.floor(s / 3600)} h ago`;
  }
  const validDirection = (d) => Number.isFinite(d) && d >= 0 && d <= 360;
  const silentAt = (v, now) => now - v.t > SILENT_PERIODS * 1000 * (v.period || 1);

  // The headline's rules, for a station's view at the server's time now:
  // the limit state on fresh data only, else no current data.
  function judge(v, limit, now, lost) {
    if (lost || !v || silentAt(v, now)) {
      return { mode: 'stale', short: 'NO CURRENT DATA', text: v ? `NO CURRENT DATA: last reading ${clockText(v.t)}, ${agoText(now - v.t)}` : 'NO CURRENT DATA: no recent reading' };
    }
    // Readings another bus agent sent are shown, never judged against the limit.
    if (v.unexpected_sender) {
      return { mode: 'unconfirmed', short: 'NOT FROM THE RELAY', text: `NOT FROM THE RELAY: readings sent by ${v.unexpected_sender}` };
    }
    if (limit === null) return { mode: 'none', short: 'NO LIMIT SET', text: 'No wind limit set' };
    const worst = Math.max(v.wind, v.gust_10min);
    const what = v.gust_10min > v.wind ? '10-min gust' : 'wind';
    if (worst > limit) return { mode: 'over', short: 'OVER LIMIT', text: `OVER LIMIT: ${what} ${windText(worst)} > ${windText(limit)}` };
    return { mode: 'within', short: 'WITHIN LIMIT', text: `WITHIN LIMIT of ${windText(limit)}` };
  }

  // ---- Sunlight mode: the system's "more contrast" unless chosen here.
  const moreContrast = window.matchMedia ? window.matchMedia('(prefers-contrast: more)') : null;
  const sunlight = () => (saved.contrast ? saved.contrast === 'on' : Boolean(moreContrast && moreContrast.matches));
  function applyContrast() {
    document.documentElement.classList.toggle('sun', sunlight());
    const button = document.getElementById('sunlight');
    if (button) button.setAttribute('aria-pressed', String(sunlight()));
  }
  if (moreContrast && moreContrast.addEventListener) moreContrast.addEventListener('change', applyContrast);

  // The settings in the bar: units and sunlight; changed() redraws the page.
  function wireSettings(changed) {
    const pick = (id, field) => {
      const select = document.getElementById(id);
      select.value = saved[field];
      select.addEventListener('change', () => { save(field, select.value); changed(field); });
    };
    pick('unit-wind', 'wind');
    pick('unit-temperature', 'temperature');
    pick('unit-pressure', 'pressure');
    document.getElementById('sunlight').addEventListener('click', () => {
      save('contrast', sunlight() ? 'off' : 'on');
      applyContrast();
    });
    applyContrast();
  }
  // Every unit label on the page, by its class.
  function showUnitLabels() {
    for (const e of document.querySelectorAll('.u-wind')) e.textContent = windLabel();
    for (const e of document.querySelectorAll('.u-wind-alt')) e.textContent = windLabel(altUnit());
    for (const e of document.querySelectorAll('.u-temperature')) e.textContent = TEMPERATURE[saved.temperature].label;
    for (const e of document.querySelectorAll('.u-pressure')) e.textContent = PRESSURE[saved.pressure].label;
  }

  // Banners say what is wrong in one short sentence each (two lines on a
  // phone), without the log's name twice.
  function logBannerText(log) {
    if (!log) return '';
    if (!log.ok) return `Live readings only: ${log.error}`;
    if (!log.notice) return '';
    const notice = log.notice.charAt(0).toUpperCase() + log.notice.slice(1);
    return `${notice} (${clockText(log.notice_at)}).`;
  }
  function brokerBannerText(broker) {
    return broker && !broker.connected ? `No broker since ${clockText(broker.since)}: ${broker.state}` : '';
  }
  function setBanner(id, text) {
    const banner = document.getElementById(id);
    banner.hidden = !text;
    if (text && banner.textContent !== text) {
      banner.textContent = text;
      banner.title = text;  // the whole text, where a phone cuts it to two lines
    }
  }

  // ---- The live stream (/api/events, or the path given, read with fetch()
  // so that a refusal's status and reason can be seen). on.event(name, data) for each event;
  // on.lost() when it ends; on.full(response) when the server turns the
  // page away, which answers how long to wait.
  function liveStream(on, path = '/api/events') {
    const stream = { open: false, since: 0, lastEvent: 0, abort: () => {} };
    async function read(body) {
      const reader = body.pipeThrough(new TextDecoderStream()).getReader();
      let buffer = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) return;
        buffer += value.replace(/\r\n?/g, '\n');
        for (let cut = buffer.indexOf('\n\n'); cut >= 0; cut = buffer.indexOf('\n\n')) {
          const block = buffer.slice(0, cut);
          buffer = buffer.slice(cut + 2);
          let name = 'message';
          let data = '';
          for (const line of block.split('\n')) {
            if (line.startsWith('event:')) name = line.slice(6).trim();
            else if (line.startsWith('data:')) data += line.slice(5).trim();
          }
          if (data) {
            stream.lastEvent = Date.now();
            on.event(name, data);
          }
        }
      }
    }
    async function connect() {
      const control = new AbortController();
      Object.assign(stream, { open: true, since: Date.now(), abort: () => control.abort() });
      let retry = 2000;
      try {
        const res = await fetch(path, { cache: 'no-store', signal: control.signal });
        if (res.status === 503) {
          retry = await on.full(res);
        } else if (res.ok && res.body) {
          await read(res.body);
          on.lost();
        } else {
          on.lost();
        }
      } catch (err) {
        on.lost();
      }
      stream.open = false;
      setTimeout(connect, retry);
    }
    // Called twice a second: a server that stopped talking without closing
    // (its status comes every second) ends the attempt, and another is made.
    stream.check = () => {
      if (stream.open && Date.now() - Math.max(stream.lastEvent, stream.since) > LOST_AFTER_MS) stream.abort();
    };
    stream.lost = () => Date.now() - stream.lastEvent > LOST_AFTER_MS;
    stream.start = connect;
    return stream;
  }
  async function retryAfter(res) {
    const after = Number(res.headers.get('Retry-After'));
    return after > 0 ? after * 1000 : FULL_RETRY_MS;
  }

  return {
    MAX_LIMIT_MS, SILENT_PERIODS, LOST_AFTER_MS, BEAUFORT, saved, save, fixed, finite,
    windValue, windFigure, windLabel, windText, windToMs, altUnit, temperatureFigure, pressureValue,
    pressureFigure, pressureDigits, usableLimit, ownLimit, serverLimit, limitMs, clockText, hourText,
    agoText, validDirection, silentAt, judge, wireSettings, showUnitLabels, applyContrast,
    logBannerText, brokerBannerText, setBanner, liveStream, retryAfter,
  };
})();
