// Builds the page into one self-contained HTML file: the application hands the web view the
// page as text with a file:// base, so nothing may be left to load from elsewhere.
//
//   node web/build.mjs <output.html>

import { build } from 'esbuild';
import { mkdir, readFile, rename, writeFile } from 'node:fs/promises';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const output = process.argv[2];
if (!output) {
  console.error('usage: node build.mjs <output.html>');
  process.exit(2);
}

const common = {
  bundle: true,
  minify: true,
  write: false,
  logLevel: 'warning',
  absWorkingDir: here,
  legalComments: 'eof',
  // WebKitGTK 2.40 (Debian 12) and newer.
  target: ['es2020', 'safari15'],
};

// xterm.js takes its parser's next slice with a bare setTimeout; src/hiddenTimers.js explains why
// it is handed timers of the page's own, declared at the top of its module so that they stand in
// for the browser's there and nowhere else.
let xtermTimersApplied = false;
const xtermTimers = {
  name: 'xterm-timers',
  setup(b) {
    b.onLoad({ filter: /[\\/]@xterm[\\/]xterm[\\/]lib[\\/]xterm\.mjs$/ }, async (args) => {
      const source = await readFile(args.path, 'utf8');
      const timers = JSON.stringify(join(here, 'src/hiddenTimers.js'));
      const header =
        `import { xtermSetTimeout as setTimeout, xtermClearTimeout as clearTimeout } from ${timers};\n`;
      xtermTimersApplied = true;
      return { contents: header + source, loader: 'js' };
    });
  },
};

async function bundle(entry, extra) {
  const result = await build({ ...common, ...extra, entryPoints: [join(here, entry)] });
  return result.outputFiles.map((f) => f.text).join('\n');
}

const [script, style, template] = await Promise.all([
  bundle('src/main.js', { format: 'iife', plugins: [xtermTimers] }),
  bundle('src/styles/index.css', { loader: { '.css': 'css' } }),
  readFile(join(here, 'src/index.html'), 'utf8'),
]);

if (!xtermTimersApplied) throw new Error('xterm.js was not bundled from lib/xterm.mjs: its timers are the browser\'s');

// Inside an inline element the text ends at the first closing tag of its kind, wherever it
// stands; "<\/" means the same to the script and no longer closes the element.
const inlineScript = script.replace(/<\/(script)/gi, '<\\/$1');
const inlineStyle = style.replace(/<\/(style)/gi, '<\\/$1');

function checkSelfContained(css, html) {
  const problems = [];
  for (const m of css.matchAll(/url\(\s*(['"]?)([^'")]*)\1\s*\)/gi)) {
    if (!m[2].startsWith('data:')) problems.push(`stylesheet refers to ${m[2]}`);
  }
  if (/@import/i.test(css)) problems.push('stylesheet still imports another one');
  if (/<link\b/i.test(html)) problems.push('page has a <link> element');
  if (/<script\b[^>]*\bsrc=/i.test(html)) problems.push('page loads a script file');
  if (problems.length) throw new Error(`the page is not self-contained:\n  ${problems.join('\n  ')}`);
}

for (const marker of ['<!--VELTARO_STYLE-->', '<!--VELTARO_SCRIPT-->']) {
  if (!template.includes(marker)) throw new Error(`src/index.html lacks ${marker}`);
}
// Replacer functions: a string replacement would expand "$&" and the like found in the bundle.
const page = template
  .replace('<!--VELTARO_STYLE-->', () => `<style>\n${inlineStyle}</style>`)
  .replace('<!--VELTARO_SCRIPT-->', () => `<script>\n${inlineScript}</script>`);
checkSelfContained(inlineStyle, template);

const target = resolve(process.cwd(), output);
await mkdir(dirname(target), { recursive: true });
// Written beside the target and renamed, so a running application never reads half a page.
const partial = `${target}.partial`;
await writeFile(partial, page, 'utf8');
await rename(partial, target);
console.log(`page written to ${target} (${Math.round(page.length / 1024)} KiB)`);
