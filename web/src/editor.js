// The session editor dialog. It works on a form copy of the record and sends a record only when
// every field checks out; a failed save keeps the dialog open with the user's edits.

import { byId, clear, el, trapFocus } from './dom.js';
import { FIELDS, FOLDED_BY_DEFAULT, layoutFor } from './sessionSchema.js';
import { describeSession, emptyForm, formFromRecord, recordFromForm, validateForm } from './sessionModel.js';
import { COMMON_ENCODINGS, isCommonEncoding } from './encodings.js';
import { sectionOpen, setSectionOpen } from './viewSettings.js';
import { confirmDialog, isConfirmOpen } from './confirm.js';

// Node.append() would insert the text "null" for an absent part.
function appendAll(parent, ...nodes) {
  parent.append(...nodes.filter(Boolean));
}

const FIELD_LABELS = Object.fromEntries(Object.entries(FIELDS).map(([k, f]) => [k, f.label]));

export class SessionEditor {
  // save(record) → Promise<{ ok: boolean, error?: string, id?: string }>
  // pickKey() → Promise<string>; puttygenPath() → string
  constructor({ save, pickKey, puttygenPath }) {
    this._save = save;
    this._pickKey = pickKey;
    this._puttygenPath = puttygenPath;
    this.overlay = byId('editor');
    this.box = byId('editor-box');
    this.sectionsNode = byId('editor-sections');
    this.saveButton = byId('editor-save');
    this.summary = byId('editor-summary');
    this.banner = byId('editor-banner');
    this._open = false;
    this._saving = false;
    this._touched = new Set();
    this._showAll = false;

    byId('editor-cancel').addEventListener('click', () => this.requestClose());
    byId('editor-close').addEventListener('click', () => this.requestClose());
    this.saveButton.addEventListener('click', () => this.submit());
    byId('editor-form').addEventListener('submit', (event) => {
      event.preventDefault();
      this.submit();
    });
    this.summary.addEventListener('click', () => this._focusFirstError());
    // Focus may rest on the dialog itself (a click on a blank spot or on the disabled save button)
    // or fall back to the page body: the keys work wherever it is while the dialog is open.
    this.box.tabIndex = -1;
    document.addEventListener('keydown', (event) => {
      const target = event.target;
      if (this.overlay.contains(target) || target === document.body || target === document.documentElement) this._onKey(event);
    });
    this._buildCommon();
  }

  get isOpen() {
    return this._open;
  }

  // mode: "new" or "edit"; original is the stored record for "edit".
  open(record, mode) {
    this._mode = mode;
    this._original = mode === 'edit' ? structuredClone(record) : null;
    this._form = record ? formFromRecord(record) : emptyForm();
    this._initial = JSON.stringify(this._form);
    this._touched = new Set();
    this._showAll = mode === 'edit'; // a stored record with bad values shows them at once
    this._saving = false;
    this._previousFocus = document.activeElement;
    this._setBanner('');
    const title = mode === 'edit' ? `編輯連線：${describeSession(record).title}` : '新增連線';
    byId('editor-title').textContent = title;
    this._fillCommon();
    this._renderSections();
    this.overlay.hidden = false;
    this._open = true;
    this._validate();
    const first = byId('field-name');
    first.focus();
    first.select();
  }

  get dirty() {
    return this._open && JSON.stringify(this._form) !== this._initial;
  }

  async requestClose() {
    if (!this._open) return true;
    if (this.dirty) {
      const discard = await confirmDialog({
        title: '放棄未儲存的變更？',
        message: '這個連線的修改還沒有儲存。',
        okLabel: '放棄變更',
        cancelLabel: '繼續編輯',
        danger: true,
      });
      if (!discard) return false;
    }
    this._close();
    return true;
  }

  _close() {
    this._open = false;
    this.overlay.hidden = true;
    clear(this.sectionsNode);
    const back = this._previousFocus;
    if (back && back.isConnected && typeof back.focus === 'function') back.focus();
  }

  async submit() {
    if (!this._open || this._saving) return;
    const errors = this._validate();
    if (Object.keys(errors).length) {
      this._showAll = true;
      this._validate();
      this._focusFirstError();
      return;
    }
    const record = recordFromForm(this._form, this._original);
    this._saving = true;
    this._setBanner('');
    this._validate();
    let outcome;
    try {
      outcome = await this._save(record);
    } finally {
      this._saving = false;
    }
    if (!this._open) return;
    if (outcome && outcome.ok) {
      this._close();
      return;
    }
    // The store may have taken the record into memory and given it an id even though the file
    // could not be written: a second try must update that record, not add another.
    if (outcome && outcome.id) {
      this._original = { ...(this._original || {}), ...record, id: outcome.id };
    }
    this._setBanner(outcome && outcome.error ? outcome.error : '儲存失敗，請再試一次。');
    this._validate();
  }

  _setBanner(message) {
    this.banner.hidden = !message;
    clear(this.banner);
    if (message) {
      this.banner.append(
        el('strong', { text: '尚未儲存。' }),
        ' ',
        el('span', { dataset: { testid: 'editor-error-text' }, text: message }),
      );
    }
  }

  _onKey(event) {
    if (!this._open || isConfirmOpen()) return;
    const enter = event.key === 'Enter' || event.code === 'Enter' || event.code === 'NumpadEnter';
    if (enter && (event.ctrlKey || event.metaKey)) {
      event.preventDefault();
      event.stopPropagation();
      this.submit();
    } else if (event.key === 'Escape') {
      event.preventDefault();
      event.stopPropagation();
      this.requestClose();
    } else if (event.key === 'Tab' && !this.box.contains(document.activeElement)) {
      // From the page body, Tab would walk into the sidebar behind the dialog.
      event.preventDefault();
      byId('field-name').focus();
    } else {
      trapFocus(this.box, event);
    }
  }

  // ----- rendering -----

  _buildCommon() {
    const common = byId('editor-common');
    const name = this._fieldRow('name', FIELDS.name);
    const protocol = this._fieldRow('protocol', FIELDS.protocol);
    common.append(name, protocol);
    byId('field-protocol').addEventListener('change', (event) => {
      const previous = this._form.protocol;
      const next = event.target.value;
      this._form.protocol = next;
      // The port field means the baud rate for a local serial session: a value carried across
      // that boundary would be wrong either way.
      if ((previous === 'serial') !== (next === 'serial')) this._form.port = '';
      this._renderSections();
      this._validate();
    });
    const datalist = el('datalist', { id: 'encoding-names' },
      COMMON_ENCODINGS.map(([value, label]) => el('option', { value, label })));
    common.append(datalist);
  }

  _fillCommon() {
    byId('field-name').value = this._form.name;
    const select = byId('field-protocol');
    const known = [...select.options].some((o) => o.value === this._form.protocol && !o.dataset.custom);
    for (const o of [...select.options]) if (o.dataset.custom) o.remove();
    if (!known) {
      select.append(el('option', { value: this._form.protocol, dataset: { custom: '1' }, text: `${this._form.protocol}（不支援）` }));
    }
    select.value = this._form.protocol;
  }

  _renderSections() {
    const focusedId = document.activeElement && document.activeElement.id;
    clear(this.sectionsNode);
    for (const section of layoutFor(this._form.protocol, this._form.ssh_version)) {
      const open = sectionOpen(section.key, !FOLDED_BY_DEFAULT.has(section.key));
      const details = el('details', {
        class: 'section',
        dataset: { section: section.key, testid: `section-${section.key}` },
        open,
      },
      el('summary', {},
        el('span', { class: 'section-title', text: section.title }),
        el('span', { class: 'section-badge', hidden: true, text: '需修正' })),
      el('div', { class: 'section-body' }, section.fields.map((f) => this._fieldRow(f.name, f))));
      // Opening a <details> element fires "toggle" too; only a change by the user is remembered.
      details.addEventListener('toggle', () => {
        if (details.open !== sectionOpen(section.key, !FOLDED_BY_DEFAULT.has(section.key))) setSectionOpen(section.key, details.open);
      });
      this.sectionsNode.append(details);
    }
    if (focusedId) {
      const again = document.getElementById(focusedId);
      if (again) again.focus();
    }
  }

  _fieldRow(name, def) {
    const id = `field-${name}`;
    const hint = typeof def.hint === 'string' ? def.hint : '';
    const errorNode = el('p', { class: 'field-error', id: `error-${name}`, dataset: { testid: `error-${name}` } });
    const hintNode = hint ? el('p', { class: 'field-hint', text: hint }) : null;
    const row = el('div', { class: `field field-${def.kind}`, dataset: { field: name } });

    if (def.kind === 'bool') {
      const input = el('input', { type: 'checkbox', id, name, dataset: { testid: id } });
      input.checked = Boolean(this._form && this._form[name]);
      input.addEventListener('change', () => this._set(name, input.checked));
      appendAll(row, el('label', { class: 'check', for: id }, input, el('span', { text: def.label })), hintNode, errorNode);
      return row;
    }
    if (def.kind === 'forwards') return this._forwardsRow(row, def, hintNode);
    if (def.kind === 'env') return this._envRow(row, def, hintNode);

    let control;
    if (def.kind === 'select') {
      control = el('select', { id, name, dataset: { testid: id } },
        def.options.map(([value, label]) => el('option', { value, text: label })));
      const current = this._form ? this._form[name] : def.options[0][0];
      if (this._form && !def.options.some(([value]) => value === current)) {
        control.append(el('option', { value: current, text: `${current}（自訂）` }));
      }
      control.value = current;
      control.addEventListener('change', () => {
        if (name === 'protocol') return; // handled where the sections are rebuilt
        this._set(name, control.value);
        if (name === 'ssh_version') this._renderSections();
      });
    } else {
      control = el('input', {
        id, name,
        type: def.kind === 'password' ? 'password' : 'text',
        inputmode: def.kind === 'int' ? 'numeric' : undefined,
        placeholder: def.placeholder || '',
        autocomplete: 'off',
        spellcheck: 'false',
        list: def.kind === 'encoding' ? 'encoding-names' : def.datalist ? `${id}-choices` : undefined,
        dataset: { testid: id },
      });
      control.value = this._form ? this._form[name] : '';
      control.addEventListener('input', () => this._set(name, control.value, false));
      control.addEventListener('blur', () => this._touch(name));
    }

    const labelNode = el('label', { for: id, text: def.label });
    const line = el('div', { class: 'field-control' }, control);
    if (def.datalist) line.append(el('datalist', { id: `${id}-choices` }, def.datalist.map((v) => el('option', { value: v }))));
    if (def.kind === 'password') {
      const toggle = el('button', { type: 'button', class: 'small-button', id: 'editor-show-password', text: '顯示' });
      toggle.addEventListener('click', () => {
        const hidden = control.type === 'password';
        control.type = hidden ? 'text' : 'password';
        toggle.textContent = hidden ? '隱藏' : '顯示';
      });
      line.append(toggle);
    }
    if (def.kind === 'keyfile') {
      const browse = el('button', { type: 'button', class: 'small-button', id: 'editor-browse-key', dataset: { testid: 'browse-key' }, text: '瀏覽…' });
      browse.addEventListener('click', () => this._browseKey(browse, control));
      line.append(browse);
    }
    const warn = def.kind === 'keyfile' || def.kind === 'encoding'
      ? el('p', { class: 'field-warning', id: `warning-${name}`, hidden: true })
      : null;
    appendAll(row, labelNode, line, hintNode, warn, errorNode);
    return row;
  }

  _forwardsRow(row, def, hintNode) {
    const list = el('div', { class: 'rule-list', id: 'field-port_forwards', dataset: { testid: 'field-port_forwards' } });
    const render = () => {
      clear(list);
      this._form.port_forwards.forEach((rule, i) => {
        const type = el('select', { id: `field-port_forwards-${i}-type`, class: 'forward-type', 'aria-label': '轉送類型' },
          el('option', { value: 'L', text: 'L 本機' }), el('option', { value: 'R', text: 'R 遠端' }));
        if (rule.type !== 'L' && rule.type !== 'R') type.append(el('option', { value: rule.type, text: `${rule.type || '（空白）'}（無效）` }));
        type.value = rule.type;
        type.addEventListener('change', () => {
          rule.type = type.value;
          this._touch(`port_forwards.${i}.type`);
          this._validate();
        });
        const spec = el('input', {
          id: `field-port_forwards-${i}-spec`, class: 'forward-spec', type: 'text', autocomplete: 'off', spellcheck: 'false',
          placeholder: rule.type === 'R' ? '伺服器埠:目標主機:目標埠' : '本機埠:目標主機:目標埠', 'aria-label': '轉送規則',
        });
        spec.value = rule.spec;
        spec.addEventListener('input', () => {
          rule.spec = spec.value;
          this._validate();
        });
        spec.addEventListener('blur', () => this._touch(`port_forwards.${i}.spec`));
        const remove = el('button', { type: 'button', class: 'icon-button forward-remove', title: '移除這條規則', 'aria-label': '移除這條規則', text: '×' });
        remove.addEventListener('click', () => {
          this._form.port_forwards.splice(i, 1);
          render();
          this._validate();
        });
        list.append(el('div', { class: 'rule-row forward-row', dataset: { index: String(i) } },
          type, spec, remove,
          el('p', { class: 'field-error', id: `error-port_forwards-${i}-type` }),
          el('p', { class: 'field-error', id: `error-port_forwards-${i}-spec` })));
      });
    };
    render();
    const add = el('button', { type: 'button', class: 'small-button', id: 'editor-add-forward', text: '＋ 新增轉送規則' });
    add.addEventListener('click', () => {
      this._form.port_forwards.push({ type: 'L', spec: '' });
      render();
      this._validate();
      const last = list.querySelector(`#field-port_forwards-${this._form.port_forwards.length - 1}-spec`);
      if (last) last.focus();
    });
    appendAll(row, el('span', { class: 'field-label', text: def.label }), list, add, hintNode);
    return row;
  }

  _envRow(row, def, hintNode) {
    const list = el('div', { class: 'rule-list', id: 'field-telnet_env', dataset: { testid: 'field-telnet_env' } });
    const render = () => {
      clear(list);
      this._form.telnet_env.forEach((entry, i) => {
        const key = el('input', { id: `field-telnet_env-${i}-key`, class: 'env-key', type: 'text', placeholder: '名稱', autocomplete: 'off', spellcheck: 'false', 'aria-label': '變數名稱' });
        key.value = entry.key;
        key.addEventListener('input', () => {
          entry.key = key.value;
          this._validate();
        });
        key.addEventListener('blur', () => this._touch(`telnet_env.${i}.key`));
        const value = el('input', { id: `field-telnet_env-${i}-value`, class: 'env-value', type: 'text', placeholder: '值', autocomplete: 'off', spellcheck: 'false', 'aria-label': '變數值' });
        value.value = entry.value;
        value.addEventListener('input', () => {
          entry.value = value.value;
          this._validate();
        });
        const remove = el('button', { type: 'button', class: 'icon-button env-remove', title: '移除這個變數', 'aria-label': '移除這個變數', text: '×' });
        remove.addEventListener('click', () => {
          this._form.telnet_env.splice(i, 1);
          render();
          this._validate();
        });
        list.append(el('div', { class: 'rule-row env-row', dataset: { index: String(i) } },
          key, el('span', { class: 'env-eq', text: '=' }), value, remove,
          el('p', { class: 'field-error', id: `error-telnet_env-${i}-key` })));
      });
    };
    render();
    const add = el('button', { type: 'button', class: 'small-button', id: 'editor-add-env', text: '＋ 新增環境變數' });
    add.addEventListener('click', () => {
      this._form.telnet_env.push({ key: '', value: '' });
      render();
      this._validate();
      const last = list.querySelector(`#field-telnet_env-${this._form.telnet_env.length - 1}-key`);
      if (last) last.focus();
    });
    appendAll(row, el('span', { class: 'field-label', text: def.label }), list, add, hintNode);
    return row;
  }

  async _browseKey(button, input) {
    button.disabled = true;
    button.textContent = '選擇中…';
    try {
      const path = await this._pickKey();
      if (this._open && typeof path === 'string' && path) {
        input.value = path;
        this._set('private_key', path);
      }
    } finally {
      button.disabled = false;
      button.textContent = '瀏覽…';
    }
  }

  // ----- state -----

  _set(name, value, touch = true) {
    this._form[name] = value;
    if (touch) this._touch(name);
    else this._validate();
  }

  _touch(name) {
    this._touched.add(name);
    this._validate();
  }

  _validate() {
    if (!this._open) return {};
    const errors = validateForm(this._form);
    for (const node of this.box.querySelectorAll('.field-error')) {
      const key = node.id.slice('error-'.length).replace(/-(\d+)-/g, '.$1.');
      const message = errors[key] || '';
      const show = message && (this._showAll || this._touched.has(key));
      node.textContent = show ? message : '';
      const field = document.getElementById(`field-${node.id.slice('error-'.length)}`);
      if (field) {
        field.classList.toggle('invalid', Boolean(show));
        field.setAttribute('aria-invalid', show ? 'true' : 'false');
        if (show) field.setAttribute('aria-describedby', node.id);
        else field.removeAttribute('aria-describedby');
      }
    }
    // A section is marked only for errors its fields already show.
    for (const details of this.sectionsNode.querySelectorAll('details.section')) {
      const bad = [...details.querySelectorAll('.field-error')].some((n) => n.textContent !== '');
      details.querySelector('.section-badge').hidden = !bad;
    }
    this._updateWarnings();
    const labelsHere = (key) => {
      const row = this.box.querySelector(`[data-field="${key}"] > label, [data-field="${key}"] > .field-label, [data-field="${key}"] label.check span`);
      return row ? row.textContent : null;
    };
    const shownNames = [...new Set(Object.keys(errors).map((k) => labelsHere(k.split('.')[0]) || FIELD_LABELS[k.split('.')[0]] || k))];
    const anyShown = this._showAll || Object.keys(errors).some((k) => this._touched.has(k));
    if (shownNames.length) {
      // Before the user has done anything it only says what is still missing, without alarm.
      this.summary.hidden = false;
      this.summary.classList.toggle('quiet', !anyShown);
      this.summary.textContent = anyShown
        ? `還有 ${shownNames.length} 個欄位需要填寫或修正：${shownNames.join('、')}`
        : `填寫${shownNames.join('、')}後即可儲存`;
    } else {
      this.summary.hidden = true;
      this.summary.textContent = '';
    }
    this.saveButton.disabled = shownNames.length > 0 || this._saving;
    // Rewritten only on change: replacing the label between mousedown and mouseup loses the click.
    const label = this._saving ? '儲存中…' : '儲存';
    if (this.saveButton.textContent !== label) this.saveButton.textContent = label;
    return errors;
  }

  _updateWarnings() {
    const key = document.getElementById('warning-private_key');
    if (key) {
      const ppk = /\.ppk$/i.test(this._form.private_key.trim());
      const missing = ppk && !this._puttygenPath();
      key.hidden = !missing;
      key.textContent = missing ? '找不到 puttygen：.ppk 金鑰需要它轉換，連線時會失敗。請安裝 putty-tools 或改用 OpenSSH 格式的金鑰。' : '';
    }
    const enc = document.getElementById('warning-line_code_page');
    if (enc) {
      const name = this._form.line_code_page.trim();
      const unusual = name !== '' && !isCommonEncoding(name);
      enc.hidden = !unusual;
      enc.textContent = unusual ? '不在常用編碼清單中；若系統不認得這個名稱，已開啟的分頁會維持原來的編碼。' : '';
    }
  }

  _focusFirstError() {
    const errors = validateForm(this._form);
    const first = Object.keys(errors)[0];
    if (!first) return;
    this._showAll = true;
    this._validate();
    const field = document.getElementById(`field-${first.replace(/\.(\d+)\./g, '-$1-')}`);
    if (!field) return;
    const details = field.closest('details');
    if (details && !details.open) details.open = true;
    field.focus();
  }
}
