// Names users pick most; the back end also takes other codec names, which the editor accepts as
// typed.
export const COMMON_ENCODINGS = [
  ['utf-8', 'utf-8（Unicode）'],
  ['big5', 'big5（繁體中文）'],
  ['cp950', 'cp950（繁體中文，Windows）'],
  ['big5-hkscs', 'big5-hkscs（香港繁體）'],
  ['gbk', 'gbk（簡體中文）'],
  ['gb18030', 'gb18030（簡體中文）'],
  ['gb2312', 'gb2312（簡體中文）'],
  ['shift_jis', 'shift_jis（日文）'],
  ['cp932', 'cp932（日文，Windows）'],
  ['euc-jp', 'euc-jp（日文）'],
  ['euc-kr', 'euc-kr（韓文）'],
  ['cp949', 'cp949（韓文，Windows）'],
  ['latin-1', 'latin-1（西歐）'],
  ['iso-8859-15', 'iso-8859-15（西歐，含歐元符號）'],
  ['cp1252', 'cp1252（西歐，Windows）'],
  ['cp437', 'cp437（DOS 美國）'],
  ['cp850', 'cp850（DOS 西歐）'],
  ['cp1251', 'cp1251（斯拉夫語，Windows）'],
  ['koi8-r', 'koi8-r（俄文）'],
];

const KNOWN = new Set(COMMON_ENCODINGS.map(([name]) => name));

export function isCommonEncoding(name) {
  return KNOWN.has(String(name || '').toLowerCase());
}
