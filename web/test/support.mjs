// What the page's tests and its benchmark share: a static server for the
// built page, Debian's Chromium driven by playwright-core (no browser
// download), and the page's own controls as a person would use them.
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const web = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
export const root = path.dirname(web);
export const dist = path.join(web, 'dist');
export const shared = process.env.DRAVIK_SHARED || path.join(path.dirname(root), 'shared');
export const dravik = process.env.DRAVIK || path.join(root, 'build', 'dravik');

export const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// Serves `dir` on a free port of the loopback address.
export async function serve(dir) {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' };
  const server = http.createServer((req, res) => {
    const file = path.join(dir, decodeURIComponent(new URL(req.url, 'http://x').pathname));
    if (!file.startsWith(dir) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'content-type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(res);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}/index.html`, close: () => server.close() };
}

// Debian's Chromium, headless, in a profile of its own that is removed
// when the context closes.
export async function launch(viewport = { width: 1280, height: 860 }) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'dravik-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    acceptDownloads: true,
    viewport,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const close = context.close.bind(context);
  context.close = async () => {
    await close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return context;
}

// Opens `file` through the page's file chooser; resolves to the error
// shown, or null once the tree is there.
export async function openArchive(page, file) {
  await page.evaluate(() => {
    document.getElementById('status').textContent = '';
    document.getElementById('error').hidden = true;
  });
  await page.setInputFiles('#file-input', file);
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Opened ') ||
                                   !document.getElementById('error').hidden, null, { timeout: 60000 });
  return page.evaluate(() => {
    const error = document.getElementById('error');
    return error.hidden ? null : document.getElementById('error-text').textContent;
  });
}

// The tree's rows: kind, path, size, whether unpacking writes it, and the
// archive it is in (0: the open one; more: one inside a file).
export function rows(page) {
  return page.$$eval('#tree .row', (all) => all.map((r) => ({
    kind: r.dataset.kind, path: r.dataset.path, size: r.dataset.size === undefined ? '' : r.dataset.size,
    written: !r.classList.contains('unwritten'), archive: Number(r.dataset.archive) })));
}

// The bytes of the download that `action` starts; fails with the page's
// error when it shows one instead.
export async function downloaded(page, action) {
  await page.evaluate(() => { document.getElementById('error').hidden = true; });
  const failed = page.waitForSelector('#error:not([hidden])', { timeout: 120000 })
    .then(async () => { throw new Error(await page.textContent('#error-text')); });
  const [download] = await Promise.race([
    Promise.all([page.waitForEvent('download', { timeout: 120000 }), action()]), failed]);
  failed.catch(() => {});
  return { name: download.suggestedFilename(), bytes: fs.readFileSync(await download.path()) };
}

// EXPECTED.tsv of a corpus folder: archive -> [{kind, path, size, sha256}].
export function expected(folder) {
  const byArchive = new Map();
  const lines = fs.readFileSync(path.join(folder, 'EXPECTED.tsv'), 'utf8').trim().split('\n').slice(1);
  for (const line of lines) {
    const [archive, , kind, p, size, sha] = line.split('\t');
    if (!byArchive.has(archive)) byArchive.set(archive, []);
    byArchive.get(archive).push({ kind, path: p, size, sha256: sha });
  }
  return byArchive;
}
