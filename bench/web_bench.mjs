// Measures the web page in headless Chromium against the native program on
// the same file, and prints each as a ratio (page time / native time):
//   open + tree   the page opens the file and shows its tree, archives
//                 inside and --check's findings included; the program
//                 lists it with -r -t and then checks it (--check)
//   Yaz0 fast, best  the archive inside the file (peeled, as a rebuild
//                 compresses it) coded in a worker; the program's
//                 --compress on one thread (-j 1), and on its default
//                 threads for reference
//   rename        one file renamed and the archive rebuilt (Yaz0 fast) in a
//                 job's worker, its start included; the program's
//                 --rename -o at --level fast, on one thread
// Medians of several runs, alternating; nothing fails on a slow figure.
//
// Needs the built page (web/build.sh) and program (build/dravik, or $DRAVIK).
// usage: node bench/web_bench.mjs [FILE] [--runs N]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import * as s from '../web/test/support.mjs';

const args = process.argv.slice(2);
const runsAt = args.indexOf('--runs');
const runs = runsAt >= 0 ? Number(args.splice(runsAt, 2)[1]) : 7;
const file = args[0] || largestSzs(path.join(s.shared, 'corpus'));
// Native outputs go to memory when it can (the program flushes what it
// writes; the page writes nothing to disk).
const work = fs.mkdtempSync(path.join(fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir(), 'dravik-web-bench-'));

function largestSzs(dir) {
  let best = null;
  const walk = (d) => {
    for (const e of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, e.name);
      if (e.isDirectory()) walk(p);
      else if (/\.szs$/i.test(e.name) && (!best || fs.statSync(p).size > fs.statSync(best).size)) best = p;
    }
  };
  walk(dir);
  return best;
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

// Milliseconds of wall time a native command takes.
function native(argv) {
  const t0 = process.hrtime.bigint();
  execFileSync(s.dravik, argv, { stdio: ['ignore', 'ignore', 'inherit'] });
  return Number(process.hrtime.bigint() - t0) / 1e6;
}

const inner = path.join(work, 'inner.arc');
execFileSync(s.dravik, ['--decompress', file, inner]);
const innerBytes = fs.readFileSync(inner);

const server = await s.serve(s.dist);
const context = await s.launch();
const page = await context.newPage();
await page.goto(server.url);
// The file's bytes and the inner archive's, held in the page once.
await page.evaluate(async ({ outer, innerB64, name }) => {
  const bytes = (b64) => Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
  window.benchFile = new File([bytes(outer)], name);
  window.benchInner = bytes(innerB64);
  window.benchEngine = new Engine();
  await benchEngine.call('compress', { bytes: new Uint8Array(1), level: 0 }); // started and warm
}, { outer: fs.readFileSync(file).toString('base64'), innerB64: innerBytes.toString('base64'), name: path.basename(file) });

const pageOpen = () => page.evaluate(async () => {
  const t0 = performance.now();
  await openFile(benchFile);
  await new Promise(requestAnimationFrame); // the tree drawn
  return performance.now() - t0;
});
const pageYaz0 = (level) => page.evaluate(async (level) => {
  const t0 = performance.now();
  const r = await benchEngine.call('compress', { bytes: benchInner, level });
  if (!r.ok) throw new Error(r.reason);
  return performance.now() - t0;
}, level);
const workerStart = () => page.evaluate(async () => {
  const t0 = performance.now();
  const e = new Engine();
  await e.call('compress', { bytes: new Uint8Array(1), level: 0 });
  e.stop();
  return performance.now() - t0;
});

// The first file entry, to rename.
const renamed = execFileSync(s.dravik, ['-t', '--json', file], { encoding: 'utf8' }).trim().split('\n')
  .map((l) => JSON.parse(l)).find((o) => o.type === 'file');
const pageRename = () => page.evaluate(async ({ node, name }) => {
  const t0 = performance.now();
  const e = new Engine();
  const r = await e.call('rebuild', { original: new Uint8Array(await benchFile.arrayBuffer()), blobs: [], level: 0,
                                      edits: [{ op: 'rename', archive: 0, node, name }] });
  e.stop();
  if (!r.ok) throw new Error(r.reason);
  return performance.now() - t0;
}, { node: renamed.index, name: 'renamed-' + renamed.name });
const renamedPath = renamed.path.replace(/[^/]*$/, 'renamed-' + renamed.name);

const cases = [
  ['open + tree', pageOpen, () => native(['-r', '-t', file]) + native(['--check', file]), null, 2],
  ['Yaz0 fast', () => pageYaz0(0), () => native(['--compress', '--force', '--level', 'fast', '-j', '1', inner, path.join(work, 'o.szs')]),
   () => native(['--compress', '--force', '--level', 'fast', inner, path.join(work, 'o.szs')])],
  ['Yaz0 best', () => pageYaz0(2), () => native(['--compress', '--force', '--level', 'best', '-j', '1', inner, path.join(work, 'o.szs')]),
   () => native(['--compress', '--force', '--level', 'best', inner, path.join(work, 'o.szs')])],
  ['rename', pageRename,
   () => native(['--rename', '-q', '--force', '--level', 'fast', '-j', '1', '-o', path.join(work, 'r.szs'), file,
                 renamed.path, renamedPath]), null],
];

// The program's own start (loading, no work), so that a short run's
// figure can be read with and without it.
const starts0 = [];
for (let i = 0; i < runs; i++) starts0.push(native(['--version']));
const startup = median(starts0);

console.log(`web_bench: ${path.basename(file)} (${fs.statSync(file).size} bytes; ${innerBytes.length} inside), ` +
            `${runs} runs each, medians, headless Chromium against ${s.dravik}`);
console.log(`the program starts in ${startup.toFixed(1)} ms; "less start" is the ratio to its time without that`);
console.log('case'.padEnd(14) + 'page ms'.padStart(10) + 'native ms'.padStart(11) + 'ratio'.padStart(8) +
            'less start'.padStart(12) + '   native, all threads: ms, ratio');
for (const [name, inPage, onOne, onAll, processes = 1] of cases) {
  const a = [], b = [], c = [];
  await inPage(); // warm: first calls compile and grow memory
  for (let i = 0; i < runs; i++) {
    a.push(await inPage());
    b.push(onOne());
    if (onAll) c.push(onAll());
  }
  const [pa, pb] = [median(a), median(b)];
  let line = name.padEnd(14) + pa.toFixed(1).padStart(10) + pb.toFixed(1).padStart(11) + (pa / pb).toFixed(2).padStart(8) +
             (pa / Math.max(pb - processes * startup, 0.1)).toFixed(2).padStart(12);
  if (onAll) line += '   ' + median(c).toFixed(1) + ', ' + (pa / median(c)).toFixed(2);
  console.log(line);
}
const starts = [];
for (let i = 0; i < runs; i++) starts.push(await workerStart());
console.log(`a job's own worker starts in ${median(starts).toFixed(1)} ms (before its first byte is coded)`);

await context.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });
