// Web and mail addresses in terminal text. Only these are ever handed to the desktop to open: a
// "file:" or custom-scheme address in server output could otherwise start a local program.

const URL_PATTERN = /\b(?:https?:\/\/|mailto:)[^\s<>"'`\u3000-\u303f\uff00-\uffef]+/gi;
const TRAILING = /[.,;:!?'")\]}>]+$/;

export function isOpenableUrl(text) {
  return /^(?:https?:\/\/[^\s]+|mailto:[^\s]+)$/i.test(String(text || ''));
}

// Addresses in a plain string: [{ url, start, end }] with end exclusive, in string indices.
export function findUrls(text) {
  const found = [];
  for (const match of String(text).matchAll(URL_PATTERN)) {
    let url = match[0];
    // A closing bracket belongs to the address only when the address opened one.
    while (TRAILING.test(url)) {
      const last = url[url.length - 1];
      if (last === ')' && (url.match(/\(/g) || []).length >= (url.match(/\)/g) || []).length) break;
      url = url.slice(0, -1);
    }
    if (isOpenableUrl(url) && !/^(?:https?:\/\/|mailto:)$/i.test(url)) {
      found.push({ url, start: match.index, end: match.index + url.length });
    }
  }
  return found;
}

// Addresses on one buffer line with their cell columns (0-based, end inclusive). Wide characters
// take two cells but one string position, so positions are mapped through the cells.
export function findLinks(line, cols) {
  let text = '';
  const cellOf = []; // string index → cell column
  const widthOf = [];
  const cell = line.getCell(0);
  for (let x = 0; x < cols; x += 1) {
    const c = line.getCell(x, cell);
    if (!c) break;
    const width = c.getWidth();
    if (width === 0) continue; // right half of a wide character
    const chars = c.getChars() || ' ';
    for (let i = 0; i < chars.length; i += 1) {
      cellOf.push(x);
      widthOf.push(width);
    }
    text += chars;
  }
  return findUrls(text).map(({ url, start, end }) => ({
    url,
    startX: cellOf[start],
    endX: cellOf[end - 1] + widthOf[end - 1] - 1,
  }));
}
