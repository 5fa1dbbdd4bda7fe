// Takes the README's picture of the page: a corpus archive open, a texture
// shown. usage: node tools/screenshot.mjs [OUT.png]
import path from 'node:path';
import * as s from '../test/support.mjs';

const out = process.argv[2] || path.join(s.web, 'screenshot.png');
const server = await s.serve(s.dist);
const context = await s.launch({ width: 1200, height: 760 });
const page = await context.newPage();
await page.goto(server.url);
await s.openArchive(page, path.join(s.shared, 'corpus/MelgMKW__Pulsar/PulsarPackCreator__Resources__UIAssets.szs'));
await page.fill('#search', 'button/timg');
await page.waitForSelector('#tree[data-filter="button/timg"]');
await page.click('#tree .row[data-path="button/timg/icon_025.tpl"]');
await page.waitForSelector('#viewer canvas');
await page.screenshot({ path: out });
await context.close();
server.close();
console.log('screenshot: ' + out);
