// The page's layout rules, checked from the DOM in the browser: what can be
// measured of "the cards leave no holes", "nothing overlaps", "the gust is
// on the first screen", "a banner takes two lines at most", "a dimmed
// figure keeps 4.5:1", "the compass letters are clear of the ticks", and
// "the charts' time axes line up". Each returns the faults found (empty
// when none), so that a failure names them.

// Cards that overlap one another by more than a pixel.
export function overlaps(page, selector) {
  return page.evaluate((selector) => {
    const boxes = Array.from(document.querySelectorAll(selector))
      .map((e) => [e.id || e.className, e.getBoundingClientRect()])
      .filter(([, r]) => r.width > 0 && r.height > 0);
    const out = [];
    for (let i = 0; i < boxes.length; i++) {
      for (let j = i + 1; j < boxes.length; j++) {
        const [a, r] = boxes[i];
        const [b, s] = boxes[j];
        const w = Math.min(r.right, s.right) - Math.max(r.left, s.left);
        const h = Math.min(r.bottom, s.bottom) - Math.max(r.top, s.top);
        if (w > 1 && h > 1) out.push(`${a} over ${b}`);
      }
    }
    return out;
  }, selector);
}

// Holes: points of the cards' bounding box that no card covers, beyond the
// grid's gap. Sampled every 8 px; a hole is reported once per row of cards.
export function holes(page, selector) {
  return page.evaluate((selector) => {
    const grid = document.querySelector(selector);
    const gap = parseFloat(getComputedStyle(grid).rowGap) || 0;
    const rects = Array.from(grid.children).map((e) => e.getBoundingClientRect()).filter((r) => r.width > 0);
    const box = {
      left: Math.min(...rects.map((r) => r.left)), right: Math.max(...rects.map((r) => r.right)),
      top: Math.min(...rects.map((r) => r.top)), bottom: Math.max(...rects.map((r) => r.bottom)),
    };
    const near = gap / 2 + 1.5;
    const out = new Set();
    for (let y = box.top + 2; y < box.bottom - 2; y += 8) {
      for (let x = box.left + 2; x < box.right - 2; x += 8) {
        const covered = rects.some((r) => x >= r.left - near && x <= r.right + near && y >= r.top - near && y <= r.bottom + near);
        if (!covered) out.add(`hole near ${Math.round(x)},${Math.round(y + window.scrollY)}`);
      }
    }
    return Array.from(out).slice(0, 5);
  }, selector);
}

// An element's bottom edge against the first screen's.
export function belowFold(page, selector) {
  return page.evaluate((selector) => {
    const r = document.querySelector(selector).getBoundingClientRect();
    return r.bottom + window.scrollY > window.innerHeight ? [`${selector} ends at ${Math.round(r.bottom + window.scrollY)} > ${window.innerHeight}`] : [];
  }, selector);
}

// Visible banners taller than two lines of their text.
export function tallBanners(page) {
  return page.evaluate(() => Array.from(document.querySelectorAll('.banner')).filter((b) => !b.hidden).map((b) => {
    const style = getComputedStyle(b);
    const lines = (b.getBoundingClientRect().height - parseFloat(style.paddingTop) - parseFloat(style.paddingBottom)) / parseFloat(style.lineHeight);
    return lines > 2.05 ? `${b.id} ${lines.toFixed(1)} lines` : null;
  }).filter(Boolean));
}

// The contrast of each figure matched, from computed styles: its colour
// against the first background colour found on it or its ancestors (the
// page's white when none), with opacity taken into account.
export function lowContrast(page, selector, minimum = 4.5) {
  return page.evaluate(([selector, minimum]) => {
    const rgba = (text) => (text.match(/[\d.]+/g) || []).map(Number);
    const luminance = ([r, g, b]) => {
      const lin = (v) => { const s = v / 255; return s <= 0.03928 ? s / 12.92 : ((s + 0.055) / 1.055) ** 2.4; };
      return 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
    };
    const out = [];
    for (const e of document.querySelectorAll(selector)) {
      if (!e.getClientRects().length) continue;
      let background = [255, 255, 255];
      let opacity = 1;
      for (let a = e; a; a = a.parentElement) {
        const style = getComputedStyle(a);
        opacity *= Number(style.opacity);
        const bg = rgba(style.backgroundColor);
        if (bg.length >= 3 && (bg.length === 3 || bg[3] > 0)) { background = bg.slice(0, 3); break; }
      }
      const ink = rgba(getComputedStyle(e).color);
      const alpha = (ink.length > 3 ? ink[3] : 1) * opacity;
      const seen = [0, 1, 2].map((i) => ink[i] * alpha + background[i] * (1 - alpha));
      const [hi, lo] = [luminance(seen), luminance(background)].sort((x, y) => y - x);
      const ratio = (hi + 0.05) / (lo + 0.05);
      if (ratio < minimum) out.push(`${e.textContent.trim() || e.className} ${ratio.toFixed(2)}:1`);
    }
    return out;
  }, [selector, minimum]);
}

// Compass letters that touch a tick.
export function lettersOnTicks(page) {
  return page.evaluate(() => {
    const ticks = Array.from(document.querySelectorAll('#compass .tick')).map((t) => t.getBoundingClientRect());
    return Array.from(document.querySelectorAll('#compass .cardinal')).filter((l) => {
      const r = l.getBoundingClientRect();
      return ticks.some((t) => r.left < t.right && t.left < r.right && r.top < t.bottom && t.top < r.bottom);
    }).map((l) => l.textContent);
  });
}

// The charts' plot areas start at the same x, and the pressure axis has no
// thousands separator nor two labels alike.
export function chartAxes(page) {
  return page.evaluate(() => {
    const c = window.anemobus.charts;
    const lefts = [c.wind, c.direction, c.pressure].map((chart) => Math.round(chart.chartArea.left));
    const out = [];
    if (new Set(lefts).size !== 1) out.push(`plot areas start at ${lefts.join(', ')}`);
    const labels = c.pressure.scales.y.ticks.map((t) => String(t.label));
    if (labels.some((l) => l.includes(',')) || new Set(labels).size !== labels.length) out.push(`pressure labels ${labels.join(' ')}`);
    return out;
  });
}

export const sizes = [[390, 844], [844, 390], [1280, 800], [1920, 1080]];

export async function settle(page) {
  await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
}

// Figures that spill out of the box they are in (a tile, a card).
export function spills(page, figures, box) {
  return page.evaluate(([figures, box]) => Array.from(document.querySelectorAll(figures)).filter((f) => {
    const outer = f.closest(box).getBoundingClientRect();
    const r = f.getBoundingClientRect();
    const right = Math.max(r.right, ...Array.from(f.children, (c) => c.getBoundingClientRect().right));
    return right > outer.right - 2 || r.left < outer.left;
  }).map((f) => `${f.textContent} past its ${box}`), [figures, box]);
}
