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
// The corpus lives beside the project (../shared, or $DRAVIK_SHARED); a
// clone elsewhere skips what needs it, as the other stages do.
const withCorpus = fs.existsSync(path.join(corpus, 'EXPECTED.tsv'))
  ? {} : { skip: `no corpus at ${corpus} (set DRAVIK_SHARED)` };
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

// The paths `dravik -r -t --json ARGS` lists, in its order.
const listedPaths = (...args) => execFileSync(s.dravik, ['-r', '-t', '--json', ...args], { encoding: 'utf8' })
  .trim().split('\n').map((l) => JSON.parse(l)).filter((o) => o.path).map((o) => o.path);

// What --check says of `file` on standard error, and what the page shows.
const checked = (file) => spawnSync(s.dravik, ['--check', file], { encoding: 'utf8' }).stderr.split('\n')
  .filter(Boolean).map((l) => l.slice(`dravik: ${file}: `.length));
const findings = () => page.$$eval('#archive-warnings li', (l) => l.map((w) => w.textContent));

// The page reads what the program reads, bare LZ77 (.arc.LZ) included, and
// shows what -r lists: the entries of archives inside files under them.
test('every corpus archive opens to the tree EXPECTED.tsv lists, archives inside as -r lists them, checked as --check does; the filter is --include', withCorpus, async () => {
  for (const folder of [corpus, corpusLz]) {
    for (const [archive, entries] of s.expected(folder)) {
      const file = path.join(folder, archive);
      assert.equal(await s.openArchive(page, file), null, archive);
      const rows = await s.rows(page);
      const shown = rows.filter((r) => r.written && r.archive === 0).map((r) => line(r.kind, r.path, r.size));
      assert.deepEqual(shown.sort(), want(entries, false), archive);
      assert.deepEqual(rows.map((r) => r.path), listedPaths(file), archive);
      assert.deepEqual(await findings(), checked(file), archive);
    }
  }
  for (const [file, pattern] of [[szs, '*.brlan'], [szs, 'bg/*'], [szs, 'button/anim/common_w014_mii_select_long_btn_fa?e_*'],
                                 [banner, 'arc/banner.bin.d/arc/timg/*'], [banner, '*.brlyt']]) {
    await s.openArchive(page, file);
    await page.fill('#search', pattern);
    await page.waitForSelector(`#tree[data-filter="${pattern}"]`);
    assert.deepEqual((await s.rows(page)).map((r) => r.path), listedPaths('--include', pattern, file), pattern);
  }
  await page.fill('#search', '');
});

test('one file downloads with its bytes, everything as a .zip, a checked folder into a folder', withCorpus, async () => {
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

test('rebuilt unchanged, a .szs and a banner hold the original U8 archive byte for byte', withCorpus, async () => {
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

// Drops `bytes` as a file on the row at `at`, as a person drags one there.
async function drop(at, bytes) {
  await page.evaluate(({ selector, bytes }) => {
    const dt = new DataTransfer();
    dt.items.add(new File([new Uint8Array(bytes)], 'mine'));
    const target = document.querySelector(selector);
    for (const type of ['dragenter', 'dragover', 'drop'])
      target.dispatchEvent(new DragEvent(type, { bubbles: true, cancelable: true, dataTransfer: dt }));
  }, { selector: row(at), bytes: [...bytes] });
  await page.waitForSelector(row(at) + ' .tag.replaced');
}

async function rename(at, name) {
  page.once('dialog', (d) => d.accept(name));
  await page.focus(row(at));
  await page.keyboard.press('F2');
  await page.waitForSelector(row(at.replace(/[^/]*$/, name)));
}

const listing = (file) => execFileSync(s.dravik, ['-t', file], { encoding: 'utf8' });

test('replace by drop, delete, rename and add by keyboard: what the program\'s own edits make, the renamed entry in its place', withCorpus, async () => {
  const entries = s.expected(corpus).get(szsName);
  await s.openArchive(page, szs);
  const replaced = 'bg/blyt/TeamSelectBG.brlyt', gone = 'bg/ctrl/TeamSelectBG.brctr';
  const renamed = 'bg/timg/TeamsBG.tpl', newName = 'TeamsBG2.tpl';
  const fresh = Buffer.from('a new layout, bigger than the one it replaces '.repeat(40));
  await drop(replaced, fresh);

  await page.focus(row(gone));
  await page.keyboard.press('Delete');
  await page.waitForSelector(row(gone), { state: 'detached' });

  await rename(renamed, newName);
  await page.keyboard.press('Enter'); // the current entry: files are added beside it
  const added = path.join(work, 'added.txt');
  fs.writeFileSync(added, 'added from the page\n');
  await page.setInputFiles('#add-input', added);
  await page.waitForSelector(row('bg/timg/added.txt'));

  await page.selectOption('#level', '0');
  const rebuilt = await s.downloaded(page, () => page.click('#rebuild-button'));
  const sha = Object.fromEntries(entries.map((e) => [e.path, e.sha256]));
  const expect = entries.filter((e) => e.path !== gone && e.path !== renamed && e.path !== replaced)
    .map((e) => line(e.kind, e.path, e.size, e.sha256))
    .concat(line('f', replaced, String(fresh.length), s.sha256(fresh)),
            line('f', 'bg/timg/' + newName, entries.find((e) => e.path === renamed).size, sha[renamed]),
            line('f', 'bg/timg/added.txt', '20', s.sha256(fs.readFileSync(added))));
  assert.deepEqual(unpacked(rebuilt.bytes, 'edited.szs'), expect.sort());

  // The program's own edits of the same archive: the same contents, and
  // the same entries in the same order, the renamed one where it was.
  const mine = path.join(work, 'edited.szs'), theirs = path.join(work, 'program.szs');
  const disk = fs.mkdtempSync(path.join(work, 'update-'));
  fs.mkdirSync(path.join(disk, 'bg/blyt'), { recursive: true });
  fs.mkdirSync(path.join(disk, 'bg/timg'));
  fs.writeFileSync(path.join(disk, replaced), fresh);
  fs.copyFileSync(added, path.join(disk, 'bg/timg/added.txt'));
  fs.copyFileSync(szs, theirs);
  for (const args of [['--rename', theirs, renamed, 'bg/timg/' + newName], ['--delete', theirs, gone],
                      ['-u', '-C', disk, theirs, replaced, 'bg/timg/added.txt']])
    execFileSync(s.dravik, ['-q', '--level', 'fast', ...args]);
  assert.match(execFileSync(s.dravik, ['--diff', mine, theirs], { encoding: 'utf8' }), /^- same contents;/m);
  const names = (file) => listing(file).split('\n').filter((l) => l.startsWith('[')).map((l) => l.replace(/offs.*\] /, ''));
  assert.deepEqual(names(mine), names(theirs));
  const after = (file, name) => names(file)[names(file).indexOf(name) + 1];
  assert.equal(after(szs, '[d] timg'), '[-] TeamsBG.tpl');
  assert.equal(after(mine, '[d] timg'), '[-] ' + newName);
});

test('put back inside a banner: each archive rebuilt in its carriers, checksums anew, as -r unpacks it', withCorpus, async () => {
  await s.openArchive(page, banner);
  const texture = 'arc/banner.bin.d/arc/timg/ht_square_00.tpl', icon = 'arc/icon.bin.d/arc/blyt/icon.brlyt';
  const gone = 'arc/banner.bin.d/arc/anim/banner_Loop.brlan';
  const fresh = Buffer.from('a new texture '.repeat(30));
  await drop(texture, fresh);
  await rename(icon, 'icon2.brlyt');
  await page.focus(row(gone));
  await page.keyboard.press('Delete');
  await page.waitForSelector(row(gone), { state: 'detached' });
  const rebuilt = await s.downloaded(page, () => page.click('#rebuild-button'));
  const mine = path.join(work, 'edited.bnr');
  fs.writeFileSync(mine, rebuilt.bytes);
  assert.equal(spawnSync(s.dravik, ['--check', mine], { encoding: 'utf8' }).stderr, '');

  const tree = (file) => {
    const dir = fs.mkdtempSync(path.join(work, 'r-'));
    execFileSync(s.dravik, ['-q', '-r', '-C', dir, file]);
    return dir;
  };
  const was = tree(banner), now = tree(mine);
  fs.rmSync(path.join(was, gone));
  fs.writeFileSync(path.join(was, texture), fresh);
  fs.renameSync(path.join(was, icon), path.join(was, icon.replace('icon.brlyt', 'icon2.brlyt')));
  for (const part of ['banner.bin', 'icon.bin']) { // the parts' own bytes changed with them
    fs.rmSync(path.join(was, 'arc', part));
    fs.rmSync(path.join(now, 'arc', part));
  }
  assert.equal(spawnSync('diff', ['-r', was, now], { encoding: 'utf8' }).stdout, '');
  // Renamed in its place in its archive.
  const inner = (file, part) => path.join(tree(file), 'arc', part);
  assert.equal(listing(inner(mine, 'icon.bin')), listing(inner(banner, 'icon.bin')).replace('icon.brlyt', 'icon2.brlyt'));
});

test('a hostile file shows the reason the program gives, and the page stays usable', withCorpus, async () => {
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
});

test('what --check finds is shown in its words: a banner header and an IMD5 sum bent, bytes after a stream', withCorpus, async () => {
  const bytes = fs.readFileSync(banner);
  for (const [name, at] of [['header.bnr', 0x9c], ['imd5.bnr', bytes.indexOf('IMD5') + 16]]) {
    const file = path.join(work, name);
    fs.writeFileSync(file, bytes.map((b, i) => (i === at ? b ^ 1 : b)));
    assert.equal(await s.openArchive(page, file), null);
    assert.deepEqual(await findings(), checked(file), name);
    assert.equal(checked(file).length, 1, name);
    assert.match(await page.textContent('#archive-facts'), /check: 1 problem/);
  }
  // Bytes after a Yaz0 stream: what only the carrier's own facts tell.
  const trailing = path.join(work, 'trailing.szs');
  fs.writeFileSync(trailing, Buffer.concat([fs.readFileSync(szs), Buffer.alloc(40, 0xff)]));
  assert.equal(await s.openArchive(page, trailing), null);
  assert.deepEqual(await findings(), ['warning: 40 bytes follow the end of the Yaz0 stream']);
  assert.deepEqual(checked(trailing), await findings());
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

test('Yaz0 on any file: compress and decompress as the program does', withCorpus, async () => {
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

test('opened from a folder (file://) and on a narrow screen, it works', withCorpus, async () => {
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
  const unpacked = execFileSync('find', [(() => {
    const dir = fs.mkdtempSync(path.join(work, 'zip-'));
    execFileSync(s.dravik, ['-q', '-r', '-C', dir, banner]);
    return dir;
  })(), '-mindepth', '1'], { encoding: 'utf8' }).trim().split('\n');
  assert.equal(Object.keys(zip).length, unpacked.length);
  assert.ok(await narrow.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth));
  await narrow.close();
});
