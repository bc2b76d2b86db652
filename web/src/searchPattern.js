// Whether a search entry can be searched for: a regular expression that does not compile gets a
// reason instead of an exception inside the search.

// The search add-on builds its expressions with these flags, so an entry is checked with them.
export function patternProblem(term, { regex = false, caseSensitive = false } = {}) {
  if (!regex || !term) return null;
  try {
    RegExp(term, caseSensitive ? 'g' : 'gi');
    return null;
  } catch (err) {
    return `規則運算式不正確：${err && err.message ? err.message : String(err)}`;
  }
}

// The result count as the bar shows it; index is -1 when there are more matches than are marked.
export function resultText(index, count) {
  if (count === 0) return '沒有符合';
  if (index < 0) return `${count} 筆以上`;
  return `${index + 1} / ${count}`;
}
