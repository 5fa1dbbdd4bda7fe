// Takes the README's picture of the page: a corpus banner open, the
// archives inside it shown under their files, one of their textures shown.
// usage: node tools/screenshot.mjs [OUT.png]
import path from 'node:path';
import * as s from '../test/support.mjs';

const out = process.argv[2] || path.join(s.web, 'screenshot.png');
const server = await s.serve(s.dist);
const context = await s.launch({ width: 1200, height: 760 });
const page = await context.newPage();
await page.goto(server.url);
await s.openArchive(page, path.join(s.shared, 'corpus/mkw-sp__mkw-sp/opening.bnr'));
await page.fill('#search', 'timg');
await page.waitForSelector('#tree[data-filter="timg"]');
await page.click('#tree .row[data-path="arc/banner.bin.d/arc/timg/fm_item_gesso.tpl"]');
await page.waitForSelector('#viewer canvas');
await page.evaluate(() => { window.scrollTo(0, 0); document.getElementById("tree").scrollTop = 0; }); // the click brought the row into sight
await page.screenshot({ path: out });
await context.close();
server.close();
console.log('screenshot: ' + out);
