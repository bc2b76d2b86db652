// Status lines come from the back end with text that may quote a server ("連線失敗：" + reason).
// They are written into the terminal, so control characters in them must not reach the emulator:
// an escape sequence inside a server's error text could otherwise restyle or rewrite the screen.

const INFO_STYLE = '\x1b[0;90m'; // dim grey of the theme
const ERROR_STYLE = '\x1b[0;91m'; // red of the theme
const RESET = '\x1b[0m';

export function sanitizeLine(text) {
  // C0 and C1 controls and DEL become a visible placeholder; tabs become a space.
  return String(text).replace(/\t/g, ' ').replace(/[\u0000-\u001f\u007f-\u009f]/g, '\u00b7');
}

// The bytes for one status line. atLineStart tells whether the cursor already stands in column 0,
// so that the line never continues text the server left without a line end.
export function formatStatusLine(message, isError, atLineStart) {
  const style = isError ? ERROR_STYLE : INFO_STYLE;
  const lines = String(message ?? '').split(/\r\n|\r|\n/).map(sanitizeLine);
  const body = lines.map((l) => `${style}${l}${RESET}`).join('\r\n');
  return `${atLineStart ? '' : '\r\n'}${body}\r\n`;
}
