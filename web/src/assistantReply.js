// Reading the assistant's replies: the text split into prose and fenced code blocks, and the
// actions it proposes. Actions are recognised only inside ```veltaro-action blocks, one a line:
//   run <tab_id> <command>      toggle <tab_id> lfhascr|crhaslf      read_tab <tab_id>
// A reply is remote-influenced text: nothing here runs anything, the panel asks first.

const FENCE = /^```([^\n`]*)\n([\s\S]*?)^```[ \t]*$/gm;
const ACTION_LANGUAGE = 'veltaro-action';
const TOGGLEABLE = new Set(['lfhascr', 'crhaslf']);

// [{ kind: 'text' | 'code', text, language }] in reply order.
export function splitReply(reply) {
  const text = String(reply ?? '');
  const parts = [];
  let last = 0;
  for (const match of text.matchAll(FENCE)) {
    if (match.index > last) parts.push({ kind: 'text', text: text.slice(last, match.index), language: '' });
    parts.push({ kind: 'code', text: match[2].replace(/\n$/, ''), language: match[1].trim() });
    last = match.index + match[0].length;
  }
  if (last < text.length) parts.push({ kind: 'text', text: text.slice(last), language: '' });
  return parts.filter((p) => p.kind === 'code' || p.text.trim() !== '');
}

// One action line, or null when the line is not a well-formed action. `target` stands for the
// tab the conversation is about.
export function parseAction(line, targetTabId) {
  const words = String(line).trim().match(/^(\S+)\s+(\S+)(?:\s+([\s\S]*))?$/);
  if (!words) return null;
  const [, verb, rawTab, rest = ''] = words;
  const tabId = rawTab === 'target' ? targetTabId : rawTab;
  if (!tabId) return null;
  if (verb === 'run' && rest.trim() !== '') return { kind: 'run', tabId, command: rest.trim() };
  if (verb === 'toggle' && TOGGLEABLE.has(rest.trim())) return { kind: 'toggle', tabId, flag: rest.trim() };
  if (verb === 'read_tab' && rest.trim() === '') return { kind: 'read', tabId };
  return null;
}

export function actionsOf(reply, targetTabId) {
  const actions = [];
  for (const part of splitReply(reply)) {
    if (part.kind !== 'code' || part.language !== ACTION_LANGUAGE) continue;
    for (const line of part.text.split('\n')) {
      const action = parseAction(line, targetTabId);
      if (action) actions.push(action);
    }
  }
  return actions;
}

// The last `count` non-empty-ended lines of a terminal's text, as sent with a turn.
export function recentLines(text, count) {
  const lines = String(text ?? '').split('\n');
  while (lines.length && lines[lines.length - 1].trim() === '') lines.pop();
  return lines.slice(-count).join('\n');
}
