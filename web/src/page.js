// dravik's page: open an archive, look into it, take files out, put files
// back and download it rebuilt. The library does the work, in workers
// (engine.js): one holds the open archive and answers quickly; each long job
// (rebuilding, compressing) gets a worker of its own, which Cancel ends.
//
// The edits live here, as a tree of nodes; the original archive is never
// changed. Archives inside files (a banner's banner.bin) hang under their
// file, as -r unpacks them into NAME.d. A rebuild sends the original bytes
// and the edits to a job worker, where the library's edit engine lays each
// changed archive out again, the ones inside first.
'use strict';

const $ = (id) => document.getElementById(id);

// --- The engine -----------------------------------------------------------

const engineUrl = URL.createObjectURL(new Blob([DRAVIK_ENGINE_SOURCE], { type: 'text/javascript' }));

class Engine {
  constructor(onProgress) {
    this.worker = new Worker(engineUrl);
    this.pending = new Map();
    this.next = 1;
    this.worker.onmessage = (e) => {
      const m = e.data;
      if (m.progress) return onProgress && onProgress(m.progress[0], m.progress[1]);
      const p = this.pending.get(m.id);
      this.pending.delete(m.id);
      if (m.error) p.reject(new Error(m.error));
      else p.resolve(m.result);
    };
    // A worker that dies (out of memory, say) takes its jobs with it, never
    // the page.
    this.worker.onerror = (e) => {
      e.preventDefault();
      this.fail(new Error(e.message || 'the engine stopped'));
    };
  }

  call(op, message = {}, transfer = []) {
    return new Promise((resolve, reject) => {
      const id = this.next++;
      this.pending.set(id, { resolve, reject });
      this.worker.postMessage({ ...message, id, op }, transfer);
    });
  }

  fail(error) {
    for (const p of this.pending.values()) p.reject(error);
    this.pending.clear();
  }

  stop() {
    this.worker.terminate();
    this.fail(new Error('cancelled'));
  }
}

let engine = new Engine();

// --- Words ------------------------------------------------------------------

function formatSize(n) {
  if (n < 1024) return n + ' B';
  const units = ['KiB', 'MiB', 'GiB'];
  let v = n / 1024, u = 0;
  while (v >= 1024 && u < units.length - 1) v /= 1024, u++;
  return v.toFixed(v < 10 ? 1 : 0) + ' ' + units[u];
}

const carrierWords = { yaz0: 'Yaz0', imet: 'banner (IMET)', imd5: 'IMD5', lz77: 'LZ77', lz77_bare: 'bare LZ77' };

function showError(text) {
  $('error-text').textContent = text;
  $('error').hidden = false;
}

function clearError() {
  $('error').hidden = true;
}

function say(text) {
  $('status').textContent = text;
}

// Why something failed, in plain words: the engine's reason, or what the
// browser said.
function reasonOf(err) {
  const m = String(err && err.message || err);
  if (/memory|allocation|RangeError/i.test(m)) return 'not enough memory';
  return m;
}

// --- Downloads ----------------------------------------------------------------

function download(bytes, name) {
  const url = URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' }));
  const a = document.createElement('a');
  a.href = url;
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

function baseName(name) {
  return name.replace(/^.*[\\/]/, '');
}

// --- State ----------------------------------------------------------------------

// The open archive: the file's bytes, what the engine said, and the edited
// tree. A node is an entry: {id, name, dir, a (the archive it is in: 0 the
// open one, k the k-th archive inside), node (its index there, 0 for a new
// one), also (the indices of later folders unpacked into this one), size,
// data (new bytes, or null), parent, children, inner (for a file holding an
// archive: what the engine said of it; its entries are the children),
// refused (why a file that holds an archive is left as a file), written,
// why, renamed, replaced, collapsed}.
let state = null;
let nextId = 1;

function newNode(fields) {
  return { id: nextId++, name: '', dir: false, a: 0, node: 0, also: [], size: 0, data: null, parent: null,
           children: [], inner: null, refused: '', written: true, why: '', renamed: false, replaced: false,
           collapsed: false, ...fields };
}

const keyOf = (a, i) => a + ':' + i;

// Builds the tree from the entries, each archive's in table order and an
// archive's inside a file right after the file, as unpacking places them:
// each entry in the folder it lands in, also one unpacking does not write,
// for the reader to see; a folder entered again is the one folder.
function buildTree(r) {
  const root = newNode({ dir: true });
  const holders = new Map(r.archives.map((x) => [keyOf(x.parent, x.entry), x]));
  const refusals = new Map(r.refused.map((x) => [keyOf(x.a, x.i), x.why]));
  const roots = new Map([[0, root]]);  // archive -> the node its entries hang from
  const byKey = new Map();
  for (const e of r.entries) {
    const key = keyOf(e.a, e.i);
    if (e.same) {
      const first = byKey.get(keyOf(e.a, e.same));
      first.also.push(e.i);
      byKey.set(key, first);
      continue;
    }
    const parent = (e.f && byKey.get(keyOf(e.a, e.f))) || roots.get(e.a);
    const n = newNode({ name: e.name, dir: e.dir, a: e.a, node: e.i, size: e.size || 0, parent, written: e.written,
                        why: e.why || '', refused: refusals.get(key) || '', entry: e });
    const inner = holders.get(key);
    if (inner) {
      n.inner = inner;
      roots.set(inner.id, n);
    }
    parent.children.push(n);
    byKey.set(key, n);
  }
  return { root, roots };
}

// A file holding an archive has the archive's entries as its children.
const opens = (n) => n.dir || n.children.length > 0;

// The path as unpacked: through NAME.d for what a file's archive holds.
function pathOf(n) {
  const parts = [];
  for (let p = n; p && p.parent; p = p.parent) parts.unshift(p === n || p.dir ? p.name : p.name + '.d');
  return parts.join('/');
}

// Every node below `n`, depth first, in tree order.
function* below(n) {
  for (const c of n.children) {
    yield c;
    yield* below(c);
  }
}

function edited() {
  return state.edits > 0;
}

// --- Opening ----------------------------------------------------------------------

async function openFile(file) {
  if (state && edited() && !window.confirm('Open ' + file.name + ' and lose the changes to ' + state.name + '?')) return;
  clearError();
  say('Opening ' + file.name + '…');
  let bytes;
  try {
    bytes = new Uint8Array(await file.arrayBuffer());
  } catch (err) {
    return showError(file.name + ': cannot be read: ' + reasonOf(err));
  }
  await openBytes(bytes, file.name);
}

async function openBytes(bytes, name) {
  let r;
  try {
    r = await engine.call('open', { bytes: bytes.slice() });
  } catch (err) {
    say('');
    showError(name + ': ' + reasonOf(err));
    return restartEngine();
  }
  if (!r.ok) {
    say('');
    return showError(name + ': ' + r.reason);
  }
  if (state) engine.call('close', { handle: state.handle }).catch(() => {});
  const { root, roots } = buildTree(r);
  const findings = new Map();
  for (const f of r.check.findings) {
    if (!findings.has(f.path)) findings.set(f.path, []);
    findings.get(f.path).push(f);
  }
  state = { name, bytes, handle: r.handle, info: r, root, roots, findings,
            nodes: new Map([...below(root)].map((n) => [n.id, n])),
            current: null, checked: new Set(), filter: null, edits: 0, deleted: [] };
  render();
  say('Opened ' + name + ': ' + r.entries.length + ' entries' +
      (r.archives.length ? ', ' + r.archives.length + (r.archives.length > 1 ? ' archives' : ' archive') +
       ' inside' : '') + '.');
  const first = $('tree').querySelector('.row');
  if (first) first.focus();
}

// The engine worker failed: start a new one, and open the archive that was
// open again, so the page and its edits stay as they were.
async function restartEngine() {
  engine.stop();
  engine = new Engine();
  if (!state) return;
  try {
    const r = await engine.call('open', { bytes: state.bytes.slice() });
    if (r.ok) return void (state.handle = r.handle);
  } catch (err) {
    // gone for good: back to the start, still usable
  }
  state = null;
  render();
}

function closeArchive() {
  if (state) engine.call('close', { handle: state.handle }).catch(() => {});
  state = null;
  render();
  say('');
}

// --- The tree -------------------------------------------------------------------

function render() {
  $('archive').hidden = !state;
  document.body.classList.toggle('has-archive', !!state);
  if (!state) {
    $('tree').replaceChildren();
    return;
  }
  $('archive-name').textContent = state.name;
  const info = state.info;
  const wrap = info.carriers.map((c) => carrierWords[c] || c);
  const check = info.check;
  $('archive-facts').textContent = [
    formatSize(state.bytes.length),
    wrap.length ? 'in ' + wrap.join(' › ') + ', ' + formatSize(info.size) + ' unwrapped' : 'a bare U8 archive',
    info.nodes + ' nodes',
    info.archives.length ? info.archives.length + (info.archives.length > 1 ? ' archives' : ' archive') + ' inside' : '',
    'check: ' + (check.problems ? check.problems + (check.problems > 1 ? ' problems' : ' problem') : 'ok') +
      (check.warnings ? ', ' + check.warnings + (check.warnings > 1 ? ' warnings' : ' warning') : ''),
    edited() ? state.edits + ' change' + (state.edits > 1 ? 's' : '') + ' not yet downloaded' : '',
  ].filter(Boolean).join(' · ');
  // What --check finds, in its words: a problem would make a console or
  // game fail, a warning is worth knowing.
  const items = check.findings.map((f) => [(f.path ? f.path + ': ' : '') + (f.problem ? '' : 'warning: ') + f.finding,
                                           f.problem ? 'problem' : 'warning']);
  const unwritten = [...below(state.root)].filter((n) => !n.written).length;
  if (unwritten) items.push([unwritten + (unwritten > 1 ? ' entries are' : ' entry is') +
                             ' not unpacked (marked below); a rebuild keeps them as they are.', 'warning']);
  $('archive-warnings').replaceChildren(...items.map(([text, kind]) => {
    const li = document.createElement('li');
    li.textContent = text;
    li.className = kind;
    return li;
  }));
  const yaz0 = info.carriers.includes('yaz0') || info.archives.some((x) => x.carriers.includes('yaz0'));
  $('rebuild-note').textContent = 'Every byte the changes do not touch kept, a renamed entry in its place, ' +
    'archives inside rebuilt in theirs; wrapped as it was' +
    (wrap.length ? ': ' + wrap.join(' › ') + '.' : ' (bare, not compressed).');
  $('level').hidden = $('level-label').hidden = !yaz0;
  renderTree();
  updateButtons();
}

// The rows shown: [node, level, path] in tree order.
function visibleRows() {
  const rows = [];
  const walk = (n, level, prefix) => {
    for (const c of n.children) {
      if (state.filter && !state.filter.has(keyOf(c.a, c.node)) && c.node !== 0) continue;
      const path = prefix + c.name;
      rows.push([c, level, path]);
      if (opens(c) && (!c.collapsed || state.filter)) walk(c, level + 1, path + (c.dir ? '/' : '.d/'));
    }
  };
  walk(state.root, 1, '');
  return rows;
}

// The rows are written as one piece of HTML: far quicker to draw than an
// element at a time when an archive holds thousands of entries.
function renderTree() {
  const tree = $('tree');
  const focusedId = document.activeElement && document.activeElement.classList.contains('row')
    ? Number(document.activeElement.dataset.id) : null;
  const visible = visibleRows();
  tree.innerHTML = visible.length ? visible.map(([n, level, path]) => rowHtml(n, level, path)).join('')
    : `<p class="note">${state.filter ? 'Nothing matches.' : 'The archive is empty.'}</p>`;
  const rows = tree.children;
  const find = (id) => id != null && tree.querySelector(`.row[data-id="${id}"]`);
  const keep = find(focusedId) || find(state.current && state.current.id) || (visible.length ? rows[0] : null);
  if (keep) keep.tabIndex = 0;
  if (focusedId != null && keep) keep.focus();
}

const escapes = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };
const html = (text) => String(text).replace(/[&<>"']/g, (c) => escapes[c]);

function rowHtml(n, level, path) {
  const checked = state.checked.has(n.id);
  const cls = 'row' + (n.written ? '' : ' unwritten') + (state.current === n ? ' current' : '');
  let h = `<div class="${cls}" role="treeitem" tabindex="-1" aria-level="${level}" aria-selected="${checked}"` +
          (opens(n) ? ` aria-expanded="${!n.collapsed}"` : '') +
          ` data-id="${n.id}" data-path="${html(path)}" data-kind="${n.dir ? 'd' : 'f'}" data-archive="${n.a}"` +
          (n.dir ? '' : ` data-size="${n.size}"`) + ` style="padding-left:${0.5 + (level - 1) * 1.1}rem">` +
          `<input type="checkbox" tabindex="-1" aria-label="check ${html(n.name)}"` +
          (checked ? ' checked' : '') + (n.written ? '' : ' disabled') + '>' +
          `<span class="toggle">${opens(n) ? (n.collapsed && !state.filter ? '▸' : '▾') : ''}</span>` +
          `<span class="name" title="${html(path)}">${html(n.name)}${n.dir ? '/' : ''}</span>`;
  const tag = (c, text, title) => {
    h += `<span class="tag ${c}"${title ? ` title="${html(title)}"` : ''}>${text}</span>`;
  };
  if (!n.written) tag('problem', 'not unpacked', n.why);
  if (n.inner) tag('archive', 'archive', 'holds an archive: ' + n.inner.carriers.map((c) => carrierWords[c] || c)
    .concat('U8').join(' › '));
  if (n.refused) tag('problem', 'archive not opened', n.refused);
  const found = state.findings.get(path);
  if (found) tag(found.some((f) => f.problem) ? 'problem' : 'warning', 'check',
                 found.map((f) => (f.problem ? '' : 'warning: ') + f.finding).join('\n'));
  if (n.node === 0) tag('new', 'new');
  else if (n.replaced) tag('replaced', 'replaced');
  if (n.renamed) tag('renamed', 'renamed');
  if (!n.dir) h += `<span class="size" title="${n.size.toLocaleString('en')} bytes">${formatSize(n.size)}</span>`;
  return h + '</div>';
}

// The rows' events, handled once for the whole tree: a row is a few
// elements and no listeners, so a large archive draws quickly.
function rowEvent(e) {
  const row = e.target.closest && e.target.closest('.row');
  const n = row && state && state.nodes.get(Number(row.dataset.id));
  return n ? [n, row] : [null, null];
}

function wireTree() {
  const tree = $('tree');
  tree.addEventListener('click', (e) => {
    const [n, row] = rowEvent(e);
    if (!n) return;
    if (e.target.type === 'checkbox') toggleCheck(n);
    else if (e.target.classList.contains('toggle') && opens(n)) setCollapsed(n, !n.collapsed);
    else show(n, row);
  });
  tree.addEventListener('keydown', (e) => {
    const [n, row] = rowEvent(e);
    if (n && e.target === row) rowKey(e, n, row);
  });
  for (const type of ['dragenter', 'dragover']) {
    tree.addEventListener(type, (e) => {
      const [n, row] = rowEvent(e);
      if (!n || !n.written || !hasFiles(e)) return;
      e.preventDefault();
      e.stopPropagation();
      row.classList.add('drop-target');
    });
  }
  tree.addEventListener('dragleave', (e) => {
    const [, row] = rowEvent(e);
    if (row) row.classList.remove('drop-target');
  });
  tree.addEventListener('drop', (e) => {
    const [n, row] = rowEvent(e);
    if (!n || !n.written || !hasFiles(e)) return;
    e.preventDefault();
    e.stopPropagation();
    row.classList.remove('drop-target');
    const files = [...e.dataTransfer.files];
    if (n.dir) addFiles(n, files);
    else if (files.length === 1) replaceFile(n, files[0]);
    else showError('Drop one file on a file to replace it, or files on a folder to add them.');
  });
}

function setCollapsed(n, collapsed) {
  n.collapsed = collapsed;
  renderTree();
}

function toggleCheck(n) {
  if (!n.written) return;
  if (state.checked.has(n.id)) state.checked.delete(n.id);
  else state.checked.add(n.id);
  renderTree();
  updateButtons();
}

function rowKey(e, n, row) {
  const rows = [...$('tree').querySelectorAll('.row')];
  const at = rows.indexOf(row);
  const go = (k) => {
    const r = rows[Math.max(0, Math.min(rows.length - 1, k))];
    if (!r) return;
    row.tabIndex = -1;
    r.tabIndex = 0;
    r.focus();
  };
  switch (e.key) {
    case 'ArrowDown': go(at + 1); break;
    case 'ArrowUp': go(at - 1); break;
    case 'Home': go(0); break;
    case 'End': go(rows.length - 1); break;
    case 'ArrowRight':
      if (opens(n) && n.collapsed) setCollapsed(n, false);
      else go(at + 1);
      break;
    case 'ArrowLeft':
      if (opens(n) && !n.collapsed) setCollapsed(n, true);
      else if (n.parent && n.parent.parent) {
        const up = rows.findIndex((r) => Number(r.dataset.id) === n.parent.id);
        if (up >= 0) go(up);
      }
      break;
    case ' ': toggleCheck(n); break;
    case 'Enter': show(n, row); break;
    case 'Delete': deleteNode(n); break;
    case 'F2': renameNode(n); break;
    default: return;
  }
  e.preventDefault();
}

// --- Looking at an entry ----------------------------------------------------------

async function bytesOf(n) {
  if (n.data) return n.data;
  const r = await engine.call('read', { handle: state.handle, archive: n.a, index: n.node });
  if (!r.ok) throw new Error(r.reason);
  return r.bytes;
}

function button(text, action, id) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  if (id) b.id = id;
  b.addEventListener('click', action);
  return b;
}

async function show(n, row) {
  state.current = n;
  for (const r of $('tree').querySelectorAll('.row.current')) r.classList.remove('current');
  if (row) row.classList.add('current');
  const v = $('viewer');
  const facts = document.createElement('dl');
  const fact = (k, value) => {
    const dt = document.createElement('dt');
    dt.textContent = k;
    const dd = document.createElement('dd');
    dd.textContent = value;
    facts.append(dt, dd);
  };
  fact('Path', pathOf(n) + (n.dir ? '/' : ''));
  if (n.entry && n.entry.stored !== undefined) fact('Stored name', JSON.stringify(n.entry.stored));
  if (n.node) fact('Node', n.node);
  if (!n.dir) fact('Size', n.size.toLocaleString('en') + ' bytes');
  if (n.entry && !n.dir && !n.replaced) fact('Offset', '0x' + n.entry.offset.toString(16));
  if (!n.written) fact('Not unpacked', n.why);
  if (n.inner && !n.data) fact('Holds an archive', n.inner.carriers.map((c) => carrierWords[c] || c).concat('U8')
    .join(' › ') + ', ' + n.inner.nodes + ' nodes' + (n.inner.warnings.length ? '; ' + n.inner.warnings.join('; ') : ''));
  if (n.refused) fact('Archive not opened', n.refused);
  for (const f of state.findings.get(pathOf(n)) || []) fact(f.problem ? 'Problem' : 'Warning', f.finding);
  const actions = document.createElement('div');
  actions.className = 'actions';
  if (n.written) {
    if (!n.dir) actions.append(button('Download', () => takeOne(n), 'download-one'));
    actions.append(button('Rename (F2)', () => renameNode(n)), button('Delete (Del)', () => deleteNode(n)));
    if (!n.dir) {
      const input = document.createElement('input');
      input.type = 'file';
      input.className = 'visually-hidden';
      input.id = 'replace-input';
      input.addEventListener('change', () => input.files[0] && replaceFile(n, input.files[0]));
      const label = document.createElement('label');
      label.className = 'button';
      label.htmlFor = input.id;
      label.textContent = 'Replace…';
      actions.append(label, input);
    }
  }
  v.replaceChildren(facts, actions);
  // On a narrow screen the viewer is below the tree: bring it into sight.
  if (row && window.matchMedia('(max-width: 720px)').matches) v.scrollIntoView({ block: 'nearest' });
  if (n.dir || !n.written) return;
  try {
    const bytes = await bytesOf(n);
    if (!state || state.current !== n) return;
    // An archive inside that the tree does not show (left as a file, or
    // new) opens on its own; once rebuilt, it goes back in with Replace.
    if (looksLikeArchive(bytes) && !n.children.length) {
      actions.append(button('Open as an archive', () => {
        if (!edited() || window.confirm('Open ' + n.name + ' and lose the changes to ' + state.name + '?'))
          openBytes(bytes, n.name);
      }, 'open-inside'));
    }
    v.append(...preview(bytes));
  } catch (err) {
    const p = document.createElement('p');
    p.className = 'error';
    p.textContent = reasonOf(err);
    v.append(p);
  }
}

const kPreview = 64 * 1024;

// Whether the bytes start like something the engine opens: a U8 archive or
// a carrier (Yaz0, LZ77, IMD5, a banner header at 0 or 0x40).
function looksLikeArchive(b) {
  const at = (o, text) => [...text].every((c, i) => b[o + i] === c.charCodeAt(0));
  return (b[0] === 0x55 && b[1] === 0xaa && b[2] === 0x38 && b[3] === 0x2d) ||
         at(0, 'Yaz0') || at(0, 'LZ77') || at(0, 'IMD5') || at(0x40, 'IMET') || at(0x80, 'IMET');
}

// A picture for a texture, text when the bytes read as UTF-8 text, and
// always a hex view.
function preview(bytes) {
  const out = [];
  for (const image of texture.tpl(bytes) || []) {
    const canvas = document.createElement('canvas');
    canvas.width = image.width;
    canvas.height = image.height;
    canvas.getContext('2d').putImageData(image, 0, 0);
    canvas.setAttribute('role', 'img');
    canvas.setAttribute('aria-label', `texture, ${image.width} × ${image.height}`);
    const caption = document.createElement('p');
    caption.className = 'note';
    caption.textContent = `Texture ${image.width} × ${image.height}`;
    out.push(canvas, caption);
  }
  const head = bytes.subarray(0, kPreview);
  let text = null;
  try {
    text = new TextDecoder('utf-8', { fatal: true }).decode(head);
    // A sequence cut at the preview's end is not a reason to call it binary.
  } catch (err) {
    if (bytes.length > kPreview) {
      try { text = new TextDecoder('utf-8', { fatal: true }).decode(head.subarray(0, kPreview - 3)); } catch (e) {}
    }
  }
  if (text !== null && bytes.length && !/[\x00-\x08\x0e-\x1f\x7f]/.test(text)) {
    const pre = document.createElement('pre');
    pre.className = 'text';
    pre.textContent = text + (bytes.length > kPreview ? '\n…' : '');
    out.push(pre);
  }
  const pre = document.createElement('pre');
  pre.className = 'hex';
  pre.textContent = hexDump(head) + (bytes.length > kPreview
    ? '\n… ' + (bytes.length - kPreview).toLocaleString('en') + ' more bytes (download the file to see them all)' : '');
  out.push(pre);
  return out;
}

function hexDump(bytes) {
  const lines = [];
  for (let at = 0; at < bytes.length; at += 16) {
    const row = bytes.subarray(at, at + 16);
    let hex = '', ascii = '';
    for (let i = 0; i < 16; i++) {
      hex += i < row.length ? row[i].toString(16).padStart(2, '0') + ' ' : '   ';
      if (i === 7) hex += ' ';
      if (i < row.length) ascii += row[i] >= 0x20 && row[i] < 0x7f ? String.fromCharCode(row[i]) : '.';
    }
    lines.push(at.toString(16).padStart(8, '0') + '  ' + hex + ' ' + ascii);
  }
  return lines.join('\n');
}

// --- Taking files out ---------------------------------------------------------

async function takeOne(n) {
  try {
    download(await bytesOf(n), n.name);
  } catch (err) {
    showError(pathOf(n) + ': ' + reasonOf(err));
  }
}

// What to take out: the checked entries and everything below the checked
// folders, or, with nothing checked, everything shown.
function toTakeOut() {
  const chosen = new Set();
  const add = (n) => {
    if (!n.written || chosen.has(n)) return;
    chosen.add(n);
    if (n.dir) for (const c of below(n)) if (c.written) chosen.add(c);
  };
  if (state.checked.size) {
    for (const n of below(state.root)) if (state.checked.has(n.id)) add(n);
  } else {
    for (const [n] of visibleRows()) add(n);
  }
  // The folders leading to each entry come along, so paths stay whole.
  for (const n of [...chosen]) for (let p = n.parent; p && p.parent; p = p.parent) chosen.add(p);
  return [...below(state.root)].filter((n) => chosen.has(n));
}

function updateButtons() {
  if (!state) return;
  const what = state.checked.size ? state.checked.size + ' checked' : state.filter ? 'shown' : 'all';
  $('zip-button').textContent = 'Download ' + what + ' as .zip';
  $('folder-button').textContent = 'Save ' + what + ' to a folder…';
  $('folder-button').hidden = !window.showDirectoryPicker;
}

async function takeOutZip() {
  const nodes = toTakeOut();
  if (!nodes.length) return showError('Nothing to take out.');
  const tree = Object.create(null);
  const folderOf = new Map([[state.root, tree]]);
  try {
    say('Reading ' + nodes.length + ' entries…');
    for (const n of nodes) {
      const into = folderOf.get(n.parent);
      if (n.dir) folderOf.set(n, into[n.name] = Object.create(null));
      else into[n.name] = await bytesOf(n);
      if (!n.dir && n.children.length) folderOf.set(n, into[n.name + '.d'] = Object.create(null));
    }
  } catch (err) {
    say('');
    return showError('Cannot take the files out: ' + reasonOf(err));
  }
  say('Making the .zip…');
  fflate.zip(tree, { level: 6 }, (err, data) => {
    if (err) return say(''), showError('Cannot make the .zip: ' + reasonOf(err));
    download(data, state.name.replace(/\.[^.]*$/, '') + '.zip');
    say('Took out ' + nodes.filter((n) => !n.dir).length + ' files as a .zip.');
  });
}

async function takeOutFolder() {
  const nodes = toTakeOut();
  if (!nodes.length) return showError('Nothing to take out.');
  let top;
  try {
    top = await window.showDirectoryPicker({ mode: 'readwrite' });
  } catch (err) {
    return; // the user closed the picker
  }
  const handles = new Map([[state.root, top]]);
  const failed = [];
  let files = 0;
  for (const n of nodes) {
    const into = handles.get(n.parent);
    if (!into) continue; // its folder could not be made
    try {
      if (n.dir) {
        handles.set(n, await into.getDirectoryHandle(n.name, { create: true }));
      } else {
        const bytes = await bytesOf(n);
        const w = await (await into.getFileHandle(n.name, { create: true })).createWritable();
        await w.write(bytes);
        await w.close();
        files++;
        if (n.children.length) handles.set(n, await into.getDirectoryHandle(n.name + '.d', { create: true }));
      }
    } catch (err) {
      failed.push(pathOf(n) + ': ' + reasonOf(err));
    }
  }
  say('Saved ' + files + ' files into the folder ' + top.name + '.');
  if (failed.length) showError('Not saved: ' + failed.join('; '));
}

// --- Putting files back --------------------------------------------------------

function hasFiles(e) {
  return e.dataTransfer && [...e.dataTransfer.types].includes('Files');
}

function changed() {
  state.edits++;
  render();
}

async function replaceFile(n, file) {
  clearError();
  try {
    n.data = new Uint8Array(await file.arrayBuffer());
  } catch (err) {
    return showError(file.name + ': cannot be read: ' + reasonOf(err));
  }
  n.size = n.data.length;
  n.replaced = true;
  // New bytes are a new archive, if any: what the old one held goes.
  for (const c of below(n)) state.checked.delete(c.id);
  n.children = [];
  n.inner = null;
  changed();
  say('Replaced ' + pathOf(n) + ' with ' + file.name + ' (' + formatSize(n.size) + ').');
  show(n, $('tree').querySelector('.row[data-id="' + n.id + '"]'));
}

// Why `name` cannot be an entry of `folder`, or '' when it can. The same
// rule as unpacking's: not empty, not . or .., no / inside; and one name
// once in a folder. A root folder alone unpacks as arc whatever it is
// named, so renaming it would change nothing anyone sees.
function nameProblem(folder, name, except) {
  if (name === '' || name === '.' || name === '..' || name.includes('/') || name.includes('\0'))
    return 'a name cannot be empty, . or .., nor hold / or a NUL byte';
  if (folder.children.some((c) => c !== except && c.written && c.name === name))
    return 'the folder already holds an entry of that name';
  const atRoot = folder === state.root || !folder.dir;
  if (except && except.dir && atRoot && folder.children.filter((c) => c.dir && c.written).length === 1)
    return 'a root folder alone unpacks as arc whatever its name; not renamed';
  return '';
}

// The archive that entries of `folder` are in.
const archiveIn = (folder) => folder === state.root ? 0 : folder.dir ? folder.a : folder.inner.id;

async function addFiles(folder, files) {
  clearError();
  const added = [];
  for (const file of files) {
    const existing = folder.children.find((c) => c.written && c.name === file.name);
    if (existing && !existing.dir) {
      await replaceFile(existing, file);
      continue;
    }
    const problem = nameProblem(folder, file.name);
    if (problem) {
      showError(file.name + ': ' + problem);
      continue;
    }
    let data;
    try {
      data = new Uint8Array(await file.arrayBuffer());
    } catch (err) {
      showError(file.name + ': cannot be read: ' + reasonOf(err));
      continue;
    }
    const n = newNode({ name: file.name, size: data.length, data, parent: folder, a: archiveIn(folder) });
    folder.children.push(n);
    state.nodes.set(n.id, n);
    added.push(n);
  }
  if (!added.length) return;
  folder.collapsed = false;
  changed();
  say('Added ' + added.map((n) => pathOf(n)).join(', ') + '.');
}

// The folder that added files go to: the current entry's folder, or the
// current folder itself; else the archive's one top folder when it has one.
function addTarget() {
  const c = state.current;
  if (c && c.written) return c.dir ? c : c.parent;
  const tops = state.root.children.filter((n) => n.dir && n.written);
  return tops.length === 1 ? tops[0] : state.root;
}

function deleteNode(n) {
  if (!n.written) return;
  const parent = n.parent;
  parent.children.splice(parent.children.indexOf(n), 1);
  state.deleted.push(n);
  state.checked.delete(n.id);
  if (state.current === n) {
    state.current = null;
    $('viewer').replaceChildren();
  }
  changed();
  say('Deleted ' + (parent.parent ? pathOf(parent) + (parent.dir ? '/' : '.d/') : '') + n.name +
      (n.dir ? '/ and everything in it.' : '.'));
}

function renameNode(n) {
  if (!n.written) return;
  const name = window.prompt('New name for ' + pathOf(n), n.name);
  if (name === null || name === n.name) return;
  const problem = nameProblem(n.parent, name, n);
  if (problem) return showError(name + ': ' + problem);
  n.name = name;
  n.renamed = true;
  changed();
  say('Renamed to ' + pathOf(n) + '.');
}

// --- Rebuilding ---------------------------------------------------------------

// The edits as the engine takes them, against the original archive and
// the archives inside it, and the new data they bring. The edits of an
// archive inside a file count while the file is there with its own bytes.
function editList() {
  const edits = [], blobs = [];
  const live = new Set(below(state.root));
  const alive = (a) => {
    if (a === 0) return true;
    const file = state.roots.get(a);
    return live.has(file) && !file.data && alive(file.a);
  };
  const blob = (data) => blobs.push(data) - 1;
  for (const n of state.deleted) {
    if (!n.node || !alive(n.a)) continue;
    for (const node of [n.node, ...n.also]) edits.push({ op: 'remove', archive: n.a, node });
  }
  for (const n of live) {
    if (!n.written || !alive(n.a)) continue; // carried over as they are
    if (n.node === 0) {
      edits.push({ op: 'add', archive: n.a, node: n.parent.dir ? n.parent.node : 0, name: n.name, blob: blob(n.data) });
      continue;
    }
    if (n.renamed && n.name !== n.entry.name)
      for (const node of [n.node, ...n.also]) edits.push({ op: 'rename', archive: n.a, node, name: n.name });
    if (n.data) edits.push({ op: 'replace', archive: n.a, node: n.node, blob: blob(n.data) });
  }
  // One archive's edits together: the engine opens an archive inside
  // another along its path, and keeps one path open at a time.
  edits.sort((x, y) => x.archive - y.archive);
  return { edits, blobs };
}

// Runs `op` in a worker of its own, with the progress bar and Cancel.
async function job(label, op, message) {
  const bar = $('job-progress');
  $('job-label').textContent = label;
  bar.value = 0;
  $('job').hidden = false;
  const worker = new Engine((done, total) => { bar.value = total ? done / total : 0; });
  $('job-cancel').onclick = () => worker.stop();
  try {
    return await worker.call(op, message);
  } finally {
    worker.stop();
    $('job').hidden = true;
  }
}

async function rebuild() {
  clearError();
  const level = Number($('level').value);
  const { edits, blobs } = editList();
  let r;
  try {
    r = await job('Rebuilding ' + state.name + '…', 'rebuild', { original: state.bytes, edits, blobs, level });
  } catch (err) {
    return err.message === 'cancelled' ? say('Cancelled.') : showError(state.name + ': ' + reasonOf(err));
  }
  if (!r.ok) return showError(state.name + ': ' + r.reason);
  download(r.bytes, state.name);
  state.edits = 0;
  render();
  say('Rebuilt ' + state.name + ': ' + formatSize(r.bytes.length) + '.');
}

// --- Yaz0 on any file -------------------------------------------------------------

async function convert(file, compress) {
  clearError();
  let bytes;
  try {
    bytes = new Uint8Array(await file.arrayBuffer());
  } catch (err) {
    return showError(file.name + ': cannot be read: ' + reasonOf(err));
  }
  const level = Number($('tool-level').value);
  let r;
  try {
    r = await job((compress ? 'Compressing ' : 'Decompressing ') + file.name + '…',
                  compress ? 'compress' : 'decompress', { bytes, level });
  } catch (err) {
    return err.message === 'cancelled' ? say('Cancelled.') : showError(file.name + ': ' + reasonOf(err));
  }
  if (!r.ok) return showError(file.name + ': ' + r.reason);
  const name = baseName(file.name);
  let out;
  if (compress) {
    out = /\.arc$/i.test(name) ? name.replace(/\.arc$/i, '.szs') : name + '.yaz0';
  } else {
    const u8 = r.bytes.length >= 4 && r.bytes[0] === 0x55 && r.bytes[1] === 0xaa && r.bytes[2] === 0x38 && r.bytes[3] === 0x2d;
    out = /\.(szs|yaz0)$/i.test(name) ? name.replace(/\.(szs|yaz0)$/i, u8 ? '.arc' : '')
        : name + (u8 ? '.arc' : '.out');
    for (const w of r.warnings) showError(file.name + ': ' + w);
  }
  download(r.bytes, out);
  say((compress ? 'Compressed ' : 'Decompressed ') + file.name + ': ' + formatSize(bytes.length) + ' → ' +
      formatSize(r.bytes.length) + ', saved as ' + out + '.');
}

// --- Filtering --------------------------------------------------------------------

let filterSeq = 0;

// A plain word matches any part of a name; anything with a pattern
// character or a / is the --include rule as it is.
async function applyFilter() {
  if (!state) return;
  const text = $('search').value.trim();
  const seq = ++filterSeq;
  if (!text) {
    state.filter = null;
    $('search-note').textContent = '';
  } else {
    const pattern = /[*?[\]/\\]/.test(text) ? text : '*' + text + '*';
    const r = await engine.call('select', { handle: state.handle, include: [pattern] });
    if (seq !== filterSeq || !state) return;
    state.filter = new Set(r.selected.map(([a, i]) => keyOf(a, i)));
    $('search-note').textContent = r.selected.length ? '' : 'no entry matches ' + pattern;
  }
  renderTree();
  $('tree').dataset.filter = text;
  updateButtons();
}

// --- Wiring -----------------------------------------------------------------------

function onFile(input, action) {
  input.addEventListener('change', () => {
    const files = [...input.files];
    input.value = '';
    if (files.length) action(files);
  });
}

onFile($('file-input'), (files) => openFile(files[0]));
onFile($('add-input'), (files) => state && addFiles(addTarget(), files));
onFile($('compress-input'), (files) => convert(files[0], true));
onFile($('decompress-input'), (files) => convert(files[0], false));
$('error-close').addEventListener('click', clearError);
wireTree();
$('zip-button').addEventListener('click', () => takeOutZip());
$('folder-button').addEventListener('click', () => takeOutFolder());
$('rebuild-button').addEventListener('click', () => rebuild());
$('close-button').addEventListener('click', () => {
  if (!edited() || window.confirm('Close ' + state.name + ' and lose the changes?')) closeArchive();
});
$('search').addEventListener('input', () => applyFilter());

// A file dropped anywhere but on a row opens as an archive.
document.addEventListener('dragover', (e) => {
  if (!hasFiles(e)) return;
  e.preventDefault();
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', (e) => {
  if (e.relatedTarget === null) document.body.classList.remove('dragging');
});
document.addEventListener('drop', (e) => {
  document.body.classList.remove('dragging');
  if (!hasFiles(e)) return;
  e.preventDefault();
  const file = e.dataTransfer.files[0];
  if (file) openFile(file);
});
window.addEventListener('beforeunload', (e) => {
  if (state && edited()) e.preventDefault();
});
