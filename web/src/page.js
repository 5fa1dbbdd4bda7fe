// dravik's page: open an archive, look into it, take files out, put files
// back and download it rebuilt. The library does the work, in workers
// (engine.js): one holds the open archive and answers quickly; each long job
// (rebuilding, compressing) gets a worker of its own, which Cancel ends.
//
// The edits live here, as a tree of nodes; the original archive is never
// changed. A rebuild sends the edited tree and the original bytes to a job
// worker, which lays the tree out like the original.
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
// tree. A node is an entry: {id, name, dir, node (the original's index, 0 for
// a new one), size, data (new bytes, or null), parent, children, written,
// why, renamed, replaced, collapsed}.
let state = null;
let nextId = 1;

function newNode(fields) {
  return { id: nextId++, name: '', dir: false, node: 0, size: 0, data: null, parent: null, children: [],
           written: true, why: '', renamed: false, replaced: false, collapsed: false, ...fields };
}

// Builds the tree from the entries in table order, as unpacking places
// them. Folders that land on one path are one folder; entries unpacking
// does not write hang where they would land, for the reader to see.
function buildTree(entries) {
  const root = newNode({ dir: true });
  const folders = new Map([['', root]]);
  const byDepth = [root];
  for (const e of entries) {
    let parent = byDepth[e.depth] || root;
    if (e.written) {
      const slash = e.path.lastIndexOf('/');
      parent = folders.get(slash < 0 ? '' : e.path.slice(0, slash)) || parent;
    }
    if (e.dir && e.written && folders.has(e.path)) {
      byDepth[e.depth + 1] = folders.get(e.path);
      continue;
    }
    const n = newNode({ name: e.name, dir: e.dir, node: e.i, size: e.size || 0, parent, written: e.written,
                        why: e.why || '', entry: e });
    parent.children.push(n);
    if (e.dir && e.written) {
      folders.set(e.path, n);
      byDepth.length = e.depth + 1;
      byDepth[e.depth + 1] = n;
    }
  }
  return root;
}

function pathOf(n) {
  const parts = [];
  for (let p = n; p && p.parent; p = p.parent) parts.unshift(p.name);
  return parts.join('/');
}

// Every node below `n`, depth first, in tree order.
function* below(n) {
  for (const c of n.children) {
    yield c;
    if (c.dir) yield* below(c);
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
  const root = buildTree(r.entries);
  state = { name, bytes, handle: r.handle, info: r, root, nodes: new Map([...below(root)].map((n) => [n.id, n])),
            current: null, checked: new Set(), filter: null, edits: 0 };
  render();
  say('Opened ' + name + ': ' + r.entries.length + ' entries.');
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
  $('archive-facts').textContent = [
    formatSize(state.bytes.length),
    wrap.length ? 'in ' + wrap.join(' › ') + ', ' + formatSize(info.size) + ' unwrapped' : 'a bare U8 archive',
    info.nodes + ' nodes',
    edited() ? state.edits + ' change' + (state.edits > 1 ? 's' : '') + ' not yet downloaded' : '',
  ].filter(Boolean).join(' · ');
  const warnings = [...info.warnings];
  const problems = [...below(state.root)].filter((n) => !n.written).length;
  if (problems) warnings.push(problems + (problems > 1 ? ' entries are' : ' entry is') +
                              ' not unpacked (marked below); a rebuild keeps them as they are.');
  $('archive-warnings').replaceChildren(...warnings.map((w) => {
    const li = document.createElement('li');
    li.textContent = w;
    return li;
  }));
  const yaz0 = info.carriers.includes('yaz0');
  $('rebuild-note').textContent = 'Laid out like the original and wrapped as it was' +
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
      if (state.filter && !state.filter.has(c.node) && c.node !== 0) continue;
      const path = prefix + c.name;
      rows.push([c, level, path]);
      if (c.dir && (!c.collapsed || state.filter)) walk(c, level + 1, path + '/');
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
          (n.dir ? ` aria-expanded="${!n.collapsed}"` : '') +
          ` data-id="${n.id}" data-path="${html(path)}" data-kind="${n.dir ? 'd' : 'f'}"` +
          (n.dir ? '' : ` data-size="${n.size}"`) + ` style="padding-left:${0.5 + (level - 1) * 1.1}rem">` +
          `<input type="checkbox" tabindex="-1" aria-label="check ${html(n.name)}"` +
          (checked ? ' checked' : '') + (n.written ? '' : ' disabled') + '>' +
          `<span class="toggle">${n.dir ? (n.collapsed && !state.filter ? '▸' : '▾') : ''}</span>` +
          `<span class="name" title="${html(path)}">${html(n.name)}${n.dir ? '/' : ''}</span>`;
  const tag = (c, text, title) => {
    h += `<span class="tag ${c}"${title ? ` title="${html(title)}"` : ''}>${text}</span>`;
  };
  if (!n.written) tag('problem', 'not unpacked', n.why);
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
    else if (e.target.classList.contains('toggle') && n.dir) setCollapsed(n, !n.collapsed);
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
      if (n.dir && n.collapsed) setCollapsed(n, false);
      else go(at + 1);
      break;
    case 'ArrowLeft':
      if (n.dir && !n.collapsed) setCollapsed(n, true);
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
  const r = await engine.call('read', { handle: state.handle, index: n.node });
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
    // An archive inside the archive opens on its own; once rebuilt, it goes
    // back in with Replace.
    if (looksLikeArchive(bytes)) {
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
  changed();
  say('Replaced ' + pathOf(n) + ' with ' + file.name + ' (' + formatSize(n.size) + ').');
  show(n, $('tree').querySelector('.row[data-id="' + n.id + '"]'));
}

// Why `name` cannot be an entry of `folder`, or '' when it can. The same
// rule as unpacking's: not empty, not . or .., no / inside; and one name
// once in a folder.
function nameProblem(folder, name, except) {
  if (name === '' || name === '.' || name === '..' || name.includes('/') || name.includes('\0'))
    return 'a name cannot be empty, . or .., nor hold / or a NUL byte';
  if (folder.children.some((c) => c !== except && c.written && c.name === name))
    return 'the folder already holds an entry of that name';
  return '';
}

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
    const n = newNode({ name: file.name, size: data.length, data, parent: folder });
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
  state.checked.delete(n.id);
  if (state.current === n) {
    state.current = null;
    $('viewer').replaceChildren();
  }
  changed();
  say('Deleted ' + pathOf(parent) + (parent.parent ? '/' : '') + n.name + (n.dir ? '/ and everything in it.' : '.'));
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

// The edited tree as the engine takes it: each entry after its folder.
function editedTree() {
  const tree = [], blobs = [];
  const index = new Map();
  for (const n of below(state.root)) {
    if (!n.written) continue; // carried over from the original by the layout
    const t = { parent: n.parent === state.root ? -1 : index.get(n.parent), dir: n.dir, node: n.node,
                name: n.node && !n.renamed ? null : n.name };
    if (n.data) {
      t.blob = blobs.length;
      blobs.push(n.data);
    }
    index.set(n, tree.length);
    tree.push(t);
  }
  return { tree, blobs };
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
  const { tree, blobs } = editedTree();
  if (!tree.length) return showError('An archive needs at least one entry.');
  let r;
  try {
    r = await job('Rebuilding ' + state.name + '…', 'rebuild', { original: state.bytes, tree, blobs, level });
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
    state.filter = new Set(r.selected);
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
