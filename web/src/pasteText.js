// What a paste turns into before it reaches the remote side, and when it is worth a question.

// A paste this long is asked about even on one line: it is rarely typed on purpose.
export const ASK_ABOVE_CHARS = 5000;
export const PREVIEW_LINES = 6;
const PREVIEW_LINE_CHARS = 160;

const BRACKET_START = '\x1b[200~';
const BRACKET_END = '\x1b[201~';
const LINE_BREAK = /\r\n|\r|\n/;

// Lines as a reader counts them: a break at the very end closes the last line, it opens none.
export function countLines(text) {
  if (!text) return 0;
  const parts = text.split(LINE_BREAK);
  return parts[parts.length - 1] === '' ? parts.length - 1 : parts.length;
}

export function needsQuestion(text) {
  return LINE_BREAK.test(text) || text.length > ASK_ABOVE_CHARS;
}

// Line ends become the Enter key's CR, as typed. In bracketed mode the remote program takes
// everything up to the end marker as pasted text, so a marker inside the clipboard would let the
// rest run as typed commands: markers are taken out of the text before it is wrapped.
export function preparePaste(text, bracketed) {
  const typed = text.replace(/\r?\n/g, '\r');
  return bracketed ? BRACKET_START + withoutMarkers(typed) + BRACKET_END : typed;
}

// Taking one marker out can join the pieces around it into a new one; repeated until none is left.
function withoutMarkers(text) {
  let out = text;
  let before;
  do {
    before = out;
    out = out.split(BRACKET_END).join('').split(BRACKET_START).join('');
  } while (out !== before);
  return out;
}

// Control characters (other than tab) made visible, so an escape sequence hidden in the
// clipboard shows in the question instead of vanishing.
function visible(line) {
  return line.replace(/[\x00-\x08\x0b-\x1f\x7f]/g, (c) => (c === '\x7f' ? '\u2421' : String.fromCharCode(0x2400 + c.charCodeAt(0))));
}

// The first lines of a paste as the question shows them, and how many lines are left out.
export function previewOf(text, maxLines = PREVIEW_LINES) {
  const lines = text.split(LINE_BREAK);
  if (lines.length > 1 && lines[lines.length - 1] === '') lines.pop();
  const shown = lines.slice(0, maxLines).map((line) => {
    const cut = line.length > PREVIEW_LINE_CHARS ? `${line.slice(0, PREVIEW_LINE_CHARS)}…` : line;
    return visible(cut);
  });
  return { lines: shown, more: lines.length - shown.length };
}

// Where a piece of at most `size` characters starting at `start` ends, never between the two
// halves of a surrogate pair.
export function pieceEnd(text, start, size) {
  let end = Math.min(start + size, text.length);
  if (end < text.length && end - start > 1) {
    const code = text.charCodeAt(end - 1);
    if (code >= 0xd800 && code <= 0xdbff) end -= 1;
  }
  return end;
}
