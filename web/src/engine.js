// The engine's side of the page: runs in a worker, on dravik's library
// compiled to WebAssembly (DravikCore, from binding.cpp, just above in the
// same source). The page sends {id, op, ...} and gets {id, result} or
// {id, error}; long jobs send {progress: [done, total]} as they go.
'use strict';

let core = null;
const ready = DravikCore({
  onProgress: (done, total) => postMessage({ progress: [done, total] }),
}).then((m) => { core = m; });

const encoder = new TextEncoder();
const decoder = new TextDecoder();

// Hands bytes to the binding's input buffer.
function input(bytes) {
  const at = core._dv_input(bytes.length);
  core.HEAPU8.set(bytes, at);
}

function result() {
  const at = core._dv_result();
  return JSON.parse(decoder.decode(core.HEAPU8.subarray(at, at + core._dv_result_size())));
}

// A copy of the binding's output, which is then let go.
function output() {
  const at = core._dv_output();
  const bytes = core.HEAPU8.slice(at, at + core._dv_output_size());
  core._dv_output_release();
  return bytes;
}

// Each pattern goes in ended by a NUL, marked '+' to include or '-' to exclude.
function patterns(include, exclude) {
  const text = include.map((p) => '+' + p + '\0').join('') + exclude.map((p) => '-' + p + '\0').join('');
  input(encoder.encode(text));
}

// Opens an archive with every entry at every level and, for the page, the
// findings of --check.
function open(bytes, check) {
  input(bytes);
  const handle = core._dv_open();
  const opened = result();
  opened.handle = handle;
  if (handle && check) {
    core._dv_check(handle);
    opened.check = result();
  }
  return opened;
}

const editOps = { remove: 0, rename: 1, replace: 2, add: 3 };

const ops = {
  open: (m) => open(m.bytes, true),

  close(m) {
    core._dv_close(m.handle);
    return {};
  },

  select(m) {
    patterns(m.include || [], m.exclude || []);
    core._dv_select(m.handle);
    return result();
  },

  read(m) {
    if (!core._dv_read(m.handle, m.archive || 0, m.index))
      return { ok: false, reason: 'data lies past the end of the archive' };
    return { ok: true, bytes: output() };
  },

  // The original changed by m.edits, each {op, archive, node, name, blob}
  // (op: remove, rename, replace or add; node: the entry, or for add the
  // folder, 0 for the archive's root; blob: an index into m.blobs), laid
  // out by the library's edit engine and wrapped as it was.
  rebuild(m) {
    const opened = open(m.original, false);
    if (!opened.ok) return opened;
    const h = opened.handle;
    try {
      core._dv_edit_begin(h);
      const blobs = m.blobs.map((bytes) => { input(bytes); return core._dv_blob(h); });
      for (const e of m.edits) {
        input(e.name == null ? new Uint8Array(0) : encoder.encode(e.name));
        const blob = e.blob == null ? -1 : blobs[e.blob];
        if (!core._dv_edit(h, editOps[e.op], e.archive, e.node || 0, blob))
          return { ok: false, reason: 'the edits name an entry that does not exist' };
      }
      const ok = core._dv_rebuild(h, m.level);
      const r = result();
      if (ok) r.bytes = output();
      return r;
    } finally {
      core._dv_close(h);
    }
  },

  compress(m) {
    input(m.bytes);
    const ok = core._dv_compress(m.level);
    const r = result();
    if (ok) r.bytes = output();
    return r;
  },

  decompress(m) {
    input(m.bytes);
    const ok = core._dv_decompress();
    const r = result();
    if (ok) r.bytes = output();
    return r;
  },
};

onmessage = async (e) => {
  const m = e.data;
  try {
    await ready;
  } catch (err) {
    postMessage({ id: m.id, error: 'the engine could not start: ' + String(err && err.message || err) });
    return;
  }
  try {
    const r = ops[m.op](m);
    postMessage({ id: m.id, result: r }, r.bytes ? [r.bytes.buffer] : []);
  } catch (err) {
    postMessage({ id: m.id, error: String(err && err.message || err) });
  }
};
