// The page in Debian's Chromium, as a person uses it: open, look, take out,
// put back and rebuild; every result is checked against the corpus's
// EXPECTED.tsv or against the program itself. Needs web/dist (web/build.sh)
// and the program (build/dravik, or $DRAVIK).
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { unzipSync } from 'fflate';
import * as s from './support.mjs';

const corpus = path.join(s.shared, 'corpus');
const corpusLz = path.join(s.shared, 'corpus-lz');
const banner = path.join(corpus, 'mkw-sp__mkw-sp/opening.bnr');
const szsName = 'MelgMKW__Pulsar/PulsarPackCreator__Resources__UIAssets.szs';
const szs = path.join(corpus, szsName);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'dravik-web-test-'));

let server, context, page;

before(async () => {
  server = await s.serve(s.dist);
  context = await s.launch();
  page = await context.newPage();
  page.on('pageerror', (e) => { throw e; });
  await page.goto(server.url);
});

after(async () => {
  await context.close();
  server.close();
  fs.rmSync(work, { recursive: true, force: true });
});

const line = (kind, p, size, sha = '') => [kind, p, size, sha].join(' ');
const want = (entries, withSha) => entries.map((e) => line(e.kind, e.path, e.size, withSha ? e.sha256 : '')).sort();

// What the program unpacks from `bytes`, as EXPECTED.tsv lines.
function unpacked(bytes, name) {
  const dir = fs.mkdtempSync(path.join(work, 'out-'));
  fs.writeFileSync(path.join(work, name), bytes);
  execFileSync(s.dravik, ['-q', '-C', dir, path.join(work, name)]);
  const out = [];
  const walk = (rel) => {
    for (const e of fs.readdirSync(path.join(dir, rel), { withFileTypes: true })) {
      const p = rel ? rel + '/' + e.name : e.name;
      if (e.isDirectory()) out.push(line('d', p, '')), walk(p);
      else {
        const b = fs.readFileSync(path.join(dir, p));
        out.push(line('f', p, String(b.length), s.sha256(b)));
      }
    }
  };
  walk('');
  return out.sort();
}

// The program's --decompress of `file`: the bare U8 archive inside.
function peeled(file) {
  const out = path.join(work, 'peeled-' + path.basename(file) + '-' + Math.random());
  execFileSync(s.dravik, ['--decompress', file, out]);
  return fs.readFileSync(out);
}

// The reason in the program's last line on stderr, "dravik: PATH: reason".
const reasonOf = (program) => program.stderr.trim().split('\n').pop().split(': ').pop();

const row = (p) => `#tree .row[data-path="${p}"]`;

// The page reads what the program reads: an archive the program cannot
// read yet (a carrier still to come) gets the same reason on the page.
test('every corpus archive opens to the tree EXPECTED.tsv lists; the filter is --include', async () => {
  for (const folder of [corpus, corpusLz]) {
    for (const [archive, entries] of s.expected(folder)) {
      const file = path.join(folder, archive);
      const program = spawnSync(s.dravik, ['-t', file], { encoding: 'utf8' });
      const error = await s.openArchive(page, file);
      if (program.status !== 0) {
        assert.equal(error, path.basename(file) + ': ' + reasonOf(program), archive);
        continue;
      }
      assert.equal(error, null, archive);
      const shown = (await s.rows(page)).filter((r) => r.written).map((r) => line(r.kind, r.path, r.size));
      assert.deepEqual(shown.sort(), want(entries, false), archive);
    }
  }
  // An archive inside one opens on its own, as the copy of it beside the banner does.
  await s.openArchive(page, banner);
  await page.click(row('arc/banner.bin'));
  await page.click('#open-inside');
  await page.waitForSelector('#archive-name:text-is("banner.bin")');
  const shown = (await s.rows(page)).map((r) => line(r.kind, r.path, r.size));
  assert.deepEqual(shown.sort(), want(s.expected(corpus).get('mkw-sp__mkw-sp/opening.bnr__meta__banner.bin'), false));

  await s.openArchive(page, szs);
  for (const pattern of ['*.brlan', 'bg/*', 'button/anim/common_w014_mii_select_long_btn_fa?e_*']) {
    await page.fill('#search', pattern);
    await page.waitForSelector(`#tree[data-filter="${pattern}"]`);
    const listed = execFileSync(s.dravik, ['-t', '--json', '--include', pattern, szs], { encoding: 'utf8' })
      .trim().split('\n').map((l) => JSON.parse(l)).filter((o) => o.path).map((o) => o.path);
    assert.deepEqual((await s.rows(page)).map((r) => r.path), listed, pattern);
  }
  await page.fill('#search', '');
});

test('one file downloads with its bytes, everything as a .zip, a checked folder into a folder', async () => {
  const entries = s.expected(corpus).get(szsName);
  await s.openArchive(page, szs);
  const file = entries.find((e) => e.path === 'bg/timg/TeamsBG.tpl');
  await page.click(row(file.path));
  await page.waitForSelector('#viewer canvas[width="832"][height="456"]'); // the texture, as its header says
  const one = await s.downloaded(page, () => page.click('#download-one'));
  assert.equal(one.name, 'TeamsBG.tpl');
  assert.equal(s.sha256(one.bytes), file.sha256);

  const zip = await s.downloaded(page, () => page.click('#zip-button'));
  const files = unzipSync(new Uint8Array(zip.bytes));
  const got = Object.entries(files).map(([name, bytes]) => name.endsWith('/')
    ? line('d', name.slice(0, -1), '') : line('f', name, String(bytes.length), s.sha256(bytes)));
  assert.deepEqual(got.sort(), want(entries, true));

  // The folder the user would pick is one of the page's private file
  // system: the same handles, written through the same calls.
  await page.evaluate(() => {
    window.showDirectoryPicker = async () =>
      (await navigator.storage.getDirectory()).getDirectoryHandle('picked', { create: true });
  });
  await page.focus(row('bg'));
  await page.keyboard.press('Space');
  await page.click('#folder-button');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Saved '));
  const saved = await page.evaluate(async () => {
    const out = [];
    const hex = async (file) => [...new Uint8Array(await crypto.subtle.digest('SHA-256', await file.arrayBuffer()))]
      .map((b) => b.toString(16).padStart(2, '0')).join('');
    const walk = async (dir, prefix) => {
      for await (const [name, handle] of dir.entries()) {
        if (handle.kind === 'directory') out.push(['d', prefix + name, '']), await walk(handle, prefix + name + '/');
        else { const f = await handle.getFile(); out.push(['f', prefix + name, String(f.size), await hex(f)]); }
      }
    };
    await walk(await (await navigator.storage.getDirectory()).getDirectoryHandle('picked'), '');
    return out;
  });
  assert.deepEqual(saved.map((f) => line(...f)).sort(), want(entries.filter((e) => e.path.startsWith('bg')), true));
});

test('rebuilt unchanged, a .szs and a banner hold the original U8 archive byte for byte', async () => {
  for (const file of [szs, banner]) {
    await s.openArchive(page, file);
    await page.$eval('#level', (level) => { level.value = '0'; }); // shown for Yaz0 only
    const rebuilt = await s.downloaded(page, () => page.click('#rebuild-button'));
    assert.equal(rebuilt.name, path.basename(file));
    const out = path.join(work, 'same-' + rebuilt.name);
    fs.writeFileSync(out, rebuilt.bytes);
    assert.ok(peeled(out).equals(peeled(file)), file);
  }
});

test('replace by drop, delete, rename and add by keyboard; the program unpacks the rebuilt archive so', async () => {
  const entries = s.expected(corpus).get(szsName);
  await s.openArchive(page, szs);
  const replaced = 'bg/blyt/TeamSelectBG.brlyt', gone = 'bg/ctrl/TeamSelectBG.brctr';
  const renamed = 'bg/timg/TeamsBG.tpl', newName = 'TeamsBG2.tpl';
  const fresh = Buffer.from('a new layout, bigger than the one it replaces '.repeat(40));
  await page.evaluate(({ selector, bytes }) => {
    const dt = new DataTransfer();
    dt.items.add(new File([new Uint8Array(bytes)], 'mine.brlyt'));
    const target = document.querySelector(selector);
    for (const type of ['dragenter', 'dragover', 'drop'])
      target.dispatchEvent(new DragEvent(type, { bubbles: true, cancelable: true, dataTransfer: dt }));
  }, { selector: row(replaced), bytes: [...fresh] });
  await page.waitForSelector(row(replaced) + ' .tag.replaced');

  await page.focus(row(gone));
  await page.keyboard.press('Delete');
  await page.waitForSelector(row(gone), { state: 'detached' });

  page.once('dialog', (d) => d.accept(newName));
  await page.focus(row(renamed));
  await page.keyboard.press('F2');
  await page.waitForSelector(row('bg/timg/' + newName));
  await page.keyboard.press('Enter'); // the current entry: files are added beside it
  const added = path.join(work, 'added.txt');
  fs.writeFileSync(added, 'added from the page\n');
  await page.setInputFiles('#add-input', added);
  await page.waitForSelector(row('bg/timg/added.txt'));

  const rebuilt = await s.downloaded(page, () => page.click('#rebuild-button'));
  const sha = Object.fromEntries(entries.map((e) => [e.path, e.sha256]));
  const expect = entries.filter((e) => e.path !== gone && e.path !== renamed && e.path !== replaced)
    .map((e) => line(e.kind, e.path, e.size, e.sha256))
    .concat(line('f', replaced, String(fresh.length), s.sha256(fresh)),
            line('f', 'bg/timg/' + newName, entries.find((e) => e.path === renamed).size, sha[renamed]),
            line('f', 'bg/timg/added.txt', '20', s.sha256(fs.readFileSync(added))));
  assert.deepEqual(unpacked(rebuilt.bytes, 'edited.szs'), expect.sort());
});

test('a hostile file shows the reason the program gives, and the page stays usable; a checksum warns', async () => {
  const u8 = (table, size, extra = []) => Buffer.from([0x55, 0xaa, 0x38, 0x2d, 0, 0, 0, table, 0, 0, 0, size,
                                                       0, 0, 0, 0, ...Array(16).fill(0), ...extra]);
  const cases = {
    'noise.arc': Buffer.from('not an archive at all, just words'),
    'table-outside.arc': u8(0x20, 0xff),
    'nodes-outside.arc': u8(0x20, 0x0c, [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200]),
    'huge.szs': Buffer.concat([Buffer.from('Yaz0'), Buffer.from([0xff, 0xff, 0xff, 0xf0]), Buffer.alloc(8),
                               Buffer.alloc(64, 0xff)]),
    'cut.szs': fs.readFileSync(szs).subarray(0, 4096),
  };
  for (const [name, bytes] of Object.entries(cases)) {
    const file = path.join(work, name);
    fs.writeFileSync(file, bytes);
    const program = spawnSync(s.dravik, ['-t', file], { encoding: 'utf8' });
    assert.equal(program.status, 1, name);
    assert.equal(await s.openArchive(page, file), name + ': ' + reasonOf(program));
    assert.equal(await s.openArchive(page, banner), null, 'usable after ' + name);
  }
  const bent = path.join(work, 'bent.bnr');
  fs.writeFileSync(bent, fs.readFileSync(banner).map((b, i) => (i === 0x9c ? b ^ 1 : b))); // in the banner header
  const program = spawnSync(s.dravik, ['-t', bent], { encoding: 'utf8' });
  assert.equal(await s.openArchive(page, bent), null);
  assert.deepEqual(await page.$$eval('#archive-warnings li', (l) => l.map((w) => w.textContent)), [reasonOf(program)]);
});

// A bare U8 archive of `nodes` after the root: [name, size] for a file,
// [name, null, end] for a directory under the root.
function u8(nodes) {
  const names = ['', ...nodes.map((n) => n[0])].map((n) => Buffer.from(n + '\0'));
  const tableSize = (nodes.length + 1) * 12 + names.reduce((a, n) => a + n.length, 0);
  const dataStart = 0x20 + tableSize + 32 - ((0x20 + tableSize) % 32);
  const table = Buffer.alloc(dataStart + nodes.reduce((a, n) => a + (n[1] || 0), 0));
  table.writeUInt32BE(0x55aa382d, 0);
  table.writeUInt32BE(0x20, 4);
  table.writeUInt32BE(tableSize, 8);
  table.writeUInt32BE(dataStart, 12);
  let name = 0, data = dataStart;
  [['', null, nodes.length + 1], ...nodes].forEach(([, size, end], i) => {
    const at = 0x20 + i * 12;
    table.writeUInt32BE((size === null ? 0x01000000 : 0) | name, at);
    table.writeUInt32BE(size === null ? 0 : data, at + 4);
    table.writeUInt32BE(size === null ? end : size, at + 8);
    if (size) table.fill(i, data, data + size), data += size;
    name += names[i].length;
  });
  names.reduce((at, n) => at + n.copy(table, at), 0x20 + (nodes.length + 1) * 12);
  return table;
}

test('entries unpacking does not write are marked with its reasons, and a rebuild keeps them', async () => {
  const file = path.join(work, 'odd.arc');
  fs.writeFileSync(file, u8([['arc', null, 6], ['a', 40], ['a', 8], ['..', 4], ['b', 0]]));
  const program = spawnSync(s.dravik, ['-q', '-C', fs.mkdtempSync(path.join(work, 'odd-')), file], { encoding: 'utf8' });
  assert.equal(await s.openArchive(page, file), null);
  const marked = await page.$$eval('#tree .row.unwritten', (rows) =>
    rows.map((r) => `dravik: ${r.querySelector('.name').textContent}: ${r.querySelector('.tag.problem').title}`));
  assert.deepEqual(marked, program.stderr.trim().split('\n').filter((l) => !/entries could not be unpacked$/.test(l)));
  const rebuilt = await s.downloaded(page, () => page.click('#rebuild-button'));
  assert.ok(rebuilt.bytes.equals(fs.readFileSync(file)));
});

test('Yaz0 on any file: compress and decompress as the program does', async () => {
  const input = path.join(work, 'UIAssets.arc');
  fs.writeFileSync(input, peeled(szs));
  await page.selectOption('#tool-level', '0');
  const packed = await s.downloaded(page, () => page.setInputFiles('#compress-input', input));
  assert.equal(packed.name, 'UIAssets.szs');
  fs.writeFileSync(path.join(work, packed.name), packed.bytes);
  assert.ok(peeled(path.join(work, packed.name)).equals(fs.readFileSync(input)));
  const unpackedBanner = await s.downloaded(page, () => page.setInputFiles('#decompress-input', banner));
  assert.ok(unpackedBanner.bytes.equals(peeled(banner)));
});

test('opened from a folder (file://) and on a narrow screen, it works', async () => {
  const narrow = await context.newPage();
  await narrow.setViewportSize({ width: 360, height: 740 });
  await narrow.goto(pathToFileURL(path.join(s.dist, 'index.html')).href);
  assert.equal(await s.openArchive(narrow, banner), null);
  assert.ok((await s.rows(narrow)).length > 0);
  // Workers from Blob URLs: the engine's jobs and the .zip's.
  const rebuilt = await s.downloaded(narrow, () => narrow.click('#rebuild-button'));
  fs.writeFileSync(path.join(work, 'file-url.bnr'), rebuilt.bytes);
  assert.ok(peeled(path.join(work, 'file-url.bnr')).equals(peeled(banner)));
  const zip = unzipSync(new Uint8Array((await s.downloaded(narrow, () => narrow.click('#zip-button'))).bytes));
  assert.equal(Object.keys(zip).length, s.expected(corpus).get('mkw-sp__mkw-sp/opening.bnr').length);
  assert.ok(await narrow.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth));
  await narrow.close();
});
