// What the browser tests share: Debian's Chromium driven by playwright-core,
// and checks that name what failed, with deadlines scaled like the C++
// tests' (ANEMOBUS_TIMEOUT_SCALE).
import { existsSync } from 'node:fs';

export const scale = Number(process.env.ANEMOBUS_TIMEOUT_SCALE) || 1;

// The step under way, named in the output should a test fail or hang there,
// and the tally of checks.
export const progress = { step: 'starting', passes: 0, failures: 0 };

export function check(what, ok, detail = '') {
  if (ok) progress.passes++; else progress.failures++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${ok ? '' : ` (${detail})`}`);
}

export async function until(what, condition, ms) {
  progress.step = what;
  const deadline = Date.now() + ms * scale;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// How to start Chromium, asked for before the test starts anything else.
// Without Chromium the test is skipped (status 77): a developer's machine
// may lack it. Without playwright-core it fails, since scripts/test
// installs it and a missing one is a broken set-up.
export async function needChromium() {
  const executablePath = process.env.CHROMIUM || '/usr/bin/chromium';
  if (!existsSync(executablePath)) {
    console.log(`SKIP: no Chromium at ${executablePath} (Debian package chromium; scripts/install-deps installs it)`);
    process.exit(77);
  }
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    console.error('playwright-core is missing: run `npm ci` in tests/web/browser (scripts/test does)');
    process.exit(1);
  }
  return () => {
    progress.step = 'Chromium to start';
    return chromium.launch({
      executablePath,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
  };
}
