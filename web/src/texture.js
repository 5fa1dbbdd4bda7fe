// A picture of a texture file, for the viewer: TPL, the texture container
// of layouts and banners. Every format the console's texture unit reads is
// decoded to RGBA; anything unknown or cut short gives null, never a throw.
//
// TPL (big-endian): 0x0020AF30, the image count, the image table's offset;
// each table entry points at an image header (height, width, format, data
// offset) and a palette header (count, format, data offset) or 0. Pixels
// are stored in tiles of 32 bytes (64 for RGBA8), tiles in rows.
'use strict';

const texture = (() => {
  const kMagic = 0x0020af30;
  // Per format: tile width, tile height, bits per pixel.
  const tiles = { 0: [8, 8, 4], 1: [8, 4, 8], 2: [8, 4, 8], 3: [4, 4, 16], 4: [4, 4, 16], 5: [4, 4, 16],
                  6: [4, 4, 32], 8: [8, 8, 4], 9: [8, 4, 8], 10: [4, 4, 16], 14: [8, 8, 4] };

  const x5 = (v) => (v << 3) | (v >> 2);
  const x6 = (v) => (v << 2) | (v >> 4);
  const x4 = (v) => v * 0x11;
  const x3 = (v) => (v << 5) | (v << 2) | (v >> 1);

  function rgb565(v, out, o) {
    out[o] = x5(v >> 11); out[o + 1] = x6((v >> 5) & 63); out[o + 2] = x5(v & 31); out[o + 3] = 255;
  }
  function rgb5a3(v, out, o) {
    if (v & 0x8000) {
      out[o] = x5((v >> 10) & 31); out[o + 1] = x5((v >> 5) & 31); out[o + 2] = x5(v & 31); out[o + 3] = 255;
    } else {
      out[o] = x4((v >> 8) & 15); out[o + 1] = x4((v >> 4) & 15); out[o + 2] = x4(v & 15); out[o + 3] = x3((v >> 12) & 7);
    }
  }
  function ia8(v, out, o) {
    out[o] = out[o + 1] = out[o + 2] = v & 255; out[o + 3] = v >> 8;
  }

  // The palette as RGBA, for the indexed formats.
  function palette(view, at) {
    if (!at || at + 12 > view.byteLength) return null;
    const count = view.getUint16(at), format = view.getUint32(at + 4), data = view.getUint32(at + 8);
    if (data + count * 2 > view.byteLength || format > 2) return null;
    const out = new Uint8Array(count * 4);
    for (let i = 0; i < count; i++) [ia8, rgb565, rgb5a3][format](view.getUint16(data + i * 2), out, i * 4);
    return out;
  }

  // One CMPR (DXT1-like, big-endian) 4x4 block at `at` into the image.
  function cmpr(view, at, px, x0, y0, width, height) {
    const c0 = view.getUint16(at), c1 = view.getUint16(at + 2);
    const c = new Uint8Array(16);
    rgb565(c0, c, 0);
    rgb565(c1, c, 4);
    for (let k = 0; k < 3; k++) {
      if (c0 > c1) {
        c[8 + k] = (2 * c[k] + c[4 + k]) / 3;
        c[12 + k] = (c[k] + 2 * c[4 + k]) / 3;
      } else {
        c[8 + k] = (c[k] + c[4 + k]) >> 1;
        c[12 + k] = 0;
      }
    }
    c[11] = 255;
    c[15] = c0 > c1 ? 255 : 0;
    for (let y = 0; y < 4; y++) {
      const bits = view.getUint8(at + 4 + y);
      for (let x = 0; x < 4; x++) {
        const X = x0 + x, Y = y0 + y;
        if (X >= width || Y >= height) continue;
        const s = ((bits >> (6 - 2 * x)) & 3) * 4, o = (Y * width + X) * 4;
        px[o] = c[s]; px[o + 1] = c[s + 1]; px[o + 2] = c[s + 2]; px[o + 3] = c[s + 3];
      }
    }
  }

  function decode(view, width, height, format, data, pal) {
    const [tw, th, bpp] = tiles[format];
    const tileBytes = format === 6 ? 64 : 32;
    const across = Math.ceil(width / tw), down = Math.ceil(height / th);
    if (data + across * down * tileBytes > view.byteLength) return null;
    if ((format === 8 || format === 9 || format === 10) && !pal) return null;
    const px = new Uint8ClampedArray(width * height * 4);
    const scratch = new Uint8Array(4);
    for (let ty = 0; ty < down; ty++) {
      for (let tx = 0; tx < across; tx++) {
        const tile = data + (ty * across + tx) * tileBytes;
        if (format === 14) {
          for (let b = 0; b < 4; b++) cmpr(view, tile + b * 8, px, tx * 8 + (b & 1) * 4, ty * 8 + (b >> 1) * 4, width, height);
          continue;
        }
        for (let y = 0; y < th; y++) {
          for (let x = 0; x < tw; x++) {
            const X = tx * tw + x, Y = ty * th + y;
            if (X >= width || Y >= height) continue;
            const i = y * tw + x, o = (Y * width + X) * 4;
            let v;
            if (bpp === 4) v = (view.getUint8(tile + (i >> 1)) >> (i & 1 ? 0 : 4)) & 15;
            else if (bpp === 8) v = view.getUint8(tile + i);
            else if (bpp === 16) v = view.getUint16(tile + i * 2);
            switch (format) {
              case 0: px[o] = px[o + 1] = px[o + 2] = px[o + 3] = x4(v); break;
              case 1: px[o] = px[o + 1] = px[o + 2] = px[o + 3] = v; break;
              case 2: px[o] = px[o + 1] = px[o + 2] = x4(v & 15); px[o + 3] = x4(v >> 4); break;
              case 3: ia8(v, scratch, 0); px.set(scratch, o); break;
              case 4: rgb565(v, scratch, 0); px.set(scratch, o); break;
              case 5: rgb5a3(v, scratch, 0); px.set(scratch, o); break;
              case 6: // A and R in the tile's first 32 bytes, G and B in the next
                px[o + 3] = view.getUint8(tile + i * 2); px[o] = view.getUint8(tile + i * 2 + 1);
                px[o + 1] = view.getUint8(tile + 32 + i * 2); px[o + 2] = view.getUint8(tile + 33 + i * 2);
                break;
              default: { // indexed
                const k = (format === 10 ? v & 0x3fff : v) * 4;
                if (k + 4 <= pal.length) px.set(pal.subarray(k, k + 4), o);
              }
            }
          }
        }
      }
    }
    return new ImageData(px, width, height);
  }

  // The images of a TPL file, or null when `bytes` is none.
  function tpl(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    if (bytes.length < 12 || view.getUint32(0) !== kMagic) return null;
    const count = view.getUint32(4), table = view.getUint32(8);
    const images = [];
    for (let i = 0; i < Math.min(count, 64); i++) {
      const at = table + i * 8;
      if (at + 8 > bytes.length) break;
      const header = view.getUint32(at);
      if (header + 12 > bytes.length) break;
      const height = view.getUint16(header), width = view.getUint16(header + 2);
      const format = view.getUint32(header + 4), data = view.getUint32(header + 8);
      if (!tiles[format] || !width || !height || width > 4096 || height > 4096) continue;
      const image = decode(view, width, height, format, data, palette(view, view.getUint32(at + 4)));
      if (image) images.push(image);
    }
    return images.length ? images : null;
  }

  return { tpl };
})();
