// The overview and a station's link in headless Chromium, against a page
// that test_web_overview fed through the broker (three sites: north calm,
// south over the limit, west silent) and the bus (station 1, live while
// this runs). Checks that "/" opens the overview, every station's tile and
// state, problems first; that /?id=north/1 opens north/1 with its wind rose
// and "Today"; and that choosing km/h shows km/h.
//
//   node overview.test.mjs --url http://127.0.0.1:PORT/ --out DIR
// Exit status 0 when every check passed, 1 otherwise, 77 (skipped) when
// there is no Chromium.
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { check, needChromium, progress, until } from './harness.mjs';

const launchChromium = await needChromium();
const { values: opt } = parseArgs({ options: { url: { type: 'string' }, out: { type: 'string' } } });
const exceptions = [];

const browser = await launchChromium();
try {
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => exceptions.push(String(e)));
  progress.step = 'the overview';
  await page.goto(opt.url);
  check('"/" opens the overview', new URL(page.url()).pathname === '/overview', page.url());
  const tiles = () => page.locator('.tile').evaluateAll((all) => all.map((t) => `${t.querySelector('.tile-name').textContent}=${t.querySelector('.tile-state').textContent}`).join(', '));
  const expected = 'south/1=OVER LIMIT, west/1=NO CURRENT DATA, 1=WITHIN LIMIT, north/1=WITHIN LIMIT';
  try {
    await until('every station with its state', async () => (await tiles()) === expected, 15000);
  } catch (err) {
    // Said below, with what the page showed.
  }
  check('every station with its state, problems first', (await tiles()) === expected, await tiles());
  const ages = await page.locator('.tile-age').allTextContents();
  check('each tile with the age of its reading', ages.length === 4 && ages.every((a) => /^\d+ (s|min) ago$/.test(a)), ages.join(', '));
  await page.screenshot({ path: join(opt.out, 'anemobus-web-overview-sites.png') });

  progress.step = 'north/1 on its link';
  await page.goto(`${opt.url}?id=north/1`);
  await until('north/1\'s figures', async () => (await page.locator('#wind-main').textContent()) === '2.0', 10000);
  check('/?id=north/1 opens north/1', (await page.locator('#station').inputValue()) === 'north/1'
    && (await page.locator('#headline').getAttribute('data-state')) === 'within', await page.locator('#limit-state').textContent());
  await until('the wind rose', () => page.evaluate(() => document.querySelectorAll('#rose path').length > 0), 10000);
  check('with a wind rose', (await page.locator('#rose-card h2').textContent()) === 'Wind rose');
  await until('the day\'s extremes', async () => (await page.locator('#today-gust').textContent()) !== '–', 10000);
  check('and "Today", its highest gust 2.0 m/s', (await page.locator('#today h2').textContent()) === 'Today'
    && (await page.locator('#today-gust').textContent()) === '2.0', await page.locator('#today-gust').textContent());

  progress.step = 'km/h';
  await page.click('.settings summary');
  await page.selectOption('#unit-wind', 'kmh');
  const shown = [await page.locator('#wind-main').textContent(), await page.locator('#headline .u-wind').first().textContent(),
    await page.locator('#limit-state').textContent()];
  check('choosing km/h shows km/h', shown.join(' | ') === '7.2 | km/h | WITHIN LIMIT of 36.0 km/h', shown.join(' | '));
  await page.screenshot({ path: join(opt.out, 'anemobus-web-north-1.png'), fullPage: true });
  check('no exceptions in the pages', exceptions.length === 0, exceptions.join(' | '));
} catch (err) {
  progress.failures++;
  console.log(`FAIL ${err.message} (during: ${progress.step})`);
} finally {
  await browser.close();
}
process.exit(progress.failures === 0 ? 0 : 1);
