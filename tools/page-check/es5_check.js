// Every script the page loads, inline ones included, must parse as ES5 and
// use no interface newer than Internet Explorer 11: the Windows WebBrowser
// control runs the page in IE11's JScript. Usage: node es5_check.js [page.html]
'use strict';
const fs = require('fs');
const path = require('path');
const acorn = require('acorn');

const page = process.argv[2] || path.join(__dirname, '..', '..', 'src', 'ui', 'res', 'main.html');
const folder = path.dirname(page);
const html = fs.readFileSync(page, 'utf8');

// Interfaces IE11 does not have, as they appear in code.
const newer = [
  /\bPromise\b/, /\bfetch\s*\(/, /\bObject\.(assign|entries|values|fromEntries)\b/, /\bArray\.(from|of)\b/,
  /\.(includes|startsWith|endsWith|padStart|padEnd|repeat|findIndex|find|flat|flatMap)\s*\(/,
  /\bSymbol\b/, /\bProxy\b/, /\bReflect\b/, /\bWeakRef\b/, /\bURLSearchParams\b/, /\bCustomEvent\s*\(/,
  /\.(closest|append|prepend|replaceWith|toggleAttribute)\s*\(/, /\brequestIdleCallback\b/,
];

const scripts = [];
const tag = /<script\b([^>]*)>([\s\S]*?)<\/script>/gi;
let match;
let inline = 0;
while ((match = tag.exec(html)) !== null) {
  const src = /\bsrc\s*=\s*"([^"]*)"/i.exec(match[1]);
  if (src) scripts.push({name: src[1], text: fs.readFileSync(path.join(folder, src[1]), 'utf8')});
  else scripts.push({name: 'inline script ' + ++inline, text: match[2]});
}
// Handlers in attributes run as script too.
const handler = /\son[a-z]+\s*=\s*"([^"]*)"/gi;
while ((match = handler.exec(html)) !== null) scripts.push({name: 'handler "' + match[1] + '"', text: match[1]});
const link = /\bhref\s*=\s*"javascript:([^"]*)"/gi;
while ((match = link.exec(html)) !== null) scripts.push({name: 'link "' + match[1] + '"', text: match[1]});

let failures = 0;
for (const script of scripts) {
  try {
    acorn.parse(script.text, {ecmaVersion: 5, allowReturnOutsideFunction: true});
  } catch (error) {
    console.error(`${script.name}: not ES5: ${error.message}`);
    ++failures;
  }
  const code = script.text.replace(/\/\/.*$/gm, '').replace(/\/\*[\s\S]*?\*\//g, '');
  for (const pattern of newer) {
    if (pattern.test(code)) {
      console.error(`${script.name}: uses ${pattern}, which IE11 lacks`);
      ++failures;
    }
  }
}
if (scripts.length === 0) {
  console.error(`${page}: no scripts found`);
  process.exit(1);
}
console.log(`${scripts.length} scripts of ${path.basename(page)} checked: ${failures ? failures + ' problems' : 'ES5'}`);
process.exit(failures ? 1 : 0);
