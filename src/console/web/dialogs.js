// Draws dialogs from the host's snapshots: every control at its template position in
// dialog units, with the state the host reports. The page keeps no behaviour of its
// own; every operator action goes back to the host as a command.

const TAB_DEFAULT = 32;  // dialog units between default tab stops
const TYPING_GRACE_MS = 400;  // the host's echo of an edit waits while the operator types

// A command that acts on typed text (Enter, a click) ends the typing: the host's next
// state of the edit shows at once, such as the chat entry cleared after sending.
let typingDoneAt = 0;
export function typingDone() {
  typingDoneAt = performance.now();
}

export class DialogView {
  constructor(snapshotDialog, send) {
    this.hwnd = snapshotDialog.hwnd;
    this.template = snapshotDialog.template;
    this.send = send;
    this.controls = [];
    this.serverFocus = null;
    this.wantFocus = null;
    this.el = document.createElement('section');
    this.el.className = 'dialog';
    this.el.dataset.hwnd = String(this.hwnd);
    this.el.dataset.template = String(this.template);
    this.el.setAttribute('role', 'dialog');

    const bar = document.createElement('header');
    bar.className = 'titlebar';
    this.titleEl = document.createElement('span');
    this.titleEl.className = 'title';
    const close = document.createElement('button');
    close.className = 'close';
    close.textContent = '\u00d7';
    close.setAttribute('aria-label', 'Close');
    close.tabIndex = -1;
    close.addEventListener('click', () => this.send({ op: 'close', hwnd: this.hwnd }));
    bar.append(this.titleEl, close);

    this.client = document.createElement('div');
    this.client.className = 'client';
    this.client.style.width = `calc(${snapshotDialog.width} * var(--ux))`;
    this.client.style.height = `calc(${snapshotDialog.height} * var(--uy))`;
    this.el.append(bar, this.client);

    snapshotDialog.controls.forEach((c) => {
      const view = makeControl(c, this);
      this.controls.push(view);
      this.client.append(view.el);
    });
  }

  // A control element knows its dialog and id; focus moves tell the host.
  noteFocus(id) {
    if (this.serverFocus !== id) {
      this.serverFocus = id;
      // Snapshots already on their way still name the old focus: they must not pull
      // the page's focus back before the host has seen the move.
      this.wantFocus = { id, until: performance.now() + 1000 };
      this.send({ op: 'focus', hwnd: this.hwnd, control: id });
    }
  }

  update(d, isTop) {
    this.titleEl.textContent = d.title;
    this.el.classList.toggle('held', !d.enabled);
    this.el.classList.toggle('modal', d.modal);
    this.el.toggleAttribute('inert', !d.enabled);
    d.controls.forEach((c, i) => this.controls[i] && this.controls[i].update(c));
    if (this.wantFocus && (d.focus === this.wantFocus.id || performance.now() > this.wantFocus.until)) this.wantFocus = null;
    const focusChanged = !this.wantFocus && d.focus !== this.serverFocus;
    if (!this.wantFocus) this.serverFocus = d.focus;
    if (isTop && d.enabled && (focusChanged || this.justCreated)) {
      const target = this.controls.find((v) => v.id === d.focus && v.focusable());
      if (target && !target.el.contains(document.activeElement)) target.focusEl().focus({ preventScroll: true });
    }
    this.justCreated = false;
  }
}

function place(el, c, heightOverride) {
  el.style.left = `calc(${c.x} * var(--ux))`;
  el.style.top = `calc(${c.y} * var(--uy))`;
  el.style.width = `calc(${c.w} * var(--ux))`;
  el.style.height = `calc(${heightOverride ?? c.h} * var(--uy))`;
}

function makeControl(c, dialog) {
  const has = (s) => c.style.includes(s);
  const view = { id: c.id, kind: c.kind, el: null, focusable: () => false, focusEl: () => view.el, update: () => {} };
  const send = (msg) => dialog.send({ hwnd: dialog.hwnd, control: c.id, ...msg });
  const common = (el) => {
    el.classList.add('ctl');
    el.dataset.id = String(c.id);
    el.dataset.kind = c.kind;
    place(el, c);
    return el;
  };
  const watchFocus = (el) => el.addEventListener('focus', () => dialog.noteFocus(c.id));

  switch (c.kind) {
    case 'static': {
      view.el = common(document.createElement('div'));
      view.el.classList.add('static');
      view.update = (s) => {
        setText(view.el, s.text);
        view.el.hidden = !s.visible;
        view.el.classList.toggle('disabled', !s.enabled);
      };
      break;
    }
    case 'groupbox': {
      view.el = common(document.createElement('div'));
      view.el.classList.add('groupbox');
      const legend = document.createElement('span');
      view.el.append(legend);
      view.update = (s) => {
        setText(legend, s.text);
        legend.hidden = s.text === '';
        view.el.hidden = !s.visible;
      };
      break;
    }
    case 'button':
    case 'defbutton': {
      const b = common(document.createElement('button'));
      b.type = 'button';
      if (c.kind === 'defbutton') b.classList.add('default');
      b.addEventListener('click', () => {
        typingDone();
        send({ op: 'click' });
      });
      watchFocus(b);
      view.el = b;
      view.focusable = () => !b.disabled && !b.hidden;
      view.update = (s) => {
        setText(b, s.text);
        b.disabled = !s.enabled;
        b.hidden = !s.visible;
      };
      break;
    }
    case 'radio':
    case 'checkbox': {
      const label = common(document.createElement('label'));
      const input = document.createElement('input');
      input.type = c.kind === 'radio' ? 'radio' : 'checkbox';
      const caption = document.createElement('span');
      label.append(input, caption);
      // The host decides the new state; the page shows it when the snapshot arrives.
      input.addEventListener('click', (e) => {
        e.preventDefault();
        send({ op: 'click' });
      });
      watchFocus(input);
      view.el = label;
      view.focusEl = () => input;
      view.focusable = () => !input.disabled && !label.hidden;
      view.update = (s) => {
        setText(caption, s.text);
        input.checked = s.checked;
        input.disabled = !s.enabled;
        label.classList.toggle('disabled', !s.enabled);
        label.hidden = !s.visible;
      };
      break;
    }
    case 'edit': {
      const multi = has('multiline');
      const e = common(document.createElement(multi ? 'textarea' : 'input'));
      if (!multi) e.type = 'text';
      e.readOnly = has('readonly');
      e.spellcheck = false;
      e.autocomplete = 'off';
      if (multi && !has('vscroll')) e.classList.add('noscroll');
      let lastInput = 0;
      if (!e.readOnly) {
        e.addEventListener('input', () => {
          lastInput = performance.now();
          send({ op: 'type', text: e.value });
        });
      }
      watchFocus(e);
      view.el = e;
      view.focusable = () => !e.disabled && !e.hidden;
      let recheck = null;
      view.update = (s) => {
        e.disabled = !s.enabled;
        e.hidden = !s.visible;
        const now = performance.now();
        const typing = document.activeElement === e && lastInput > typingDoneAt && now - lastInput < TYPING_GRACE_MS;
        const text = multi ? s.text.replace(/\r\n/g, '\n') : s.text;
        clearTimeout(recheck);
        if (typing) {
          // Shown once the operator pauses, even if the host sends nothing newer.
          recheck = setTimeout(() => view.update(s), TYPING_GRACE_MS - (now - lastInput) + 10);
        } else if (e.value !== text) {
          const atBottom = e.scrollTop + e.clientHeight >= e.scrollHeight - 2;
          e.value = text;
          // The host scrolls an edit to its caret; a pane whose caret sits at the end (the
          // chat) follows new lines unless the operator scrolled up to read.
          if (multi && (s.selEnd >= s.text.length) && (atBottom || e.dataset.seen !== '1')) e.scrollTop = e.scrollHeight;
          e.dataset.seen = '1';
        }
      };
      break;
    }
    case 'listbox': {
      const list = common(document.createElement('div'));
      list.classList.add('listbox');
      list.setAttribute('role', 'listbox');
      list.tabIndex = 0;
      let count = 0;
      let selection = -1;
      const select = (i) => {
        if (i >= 0 && i < count) send({ op: 'select', index: i });
      };
      list.addEventListener('mousedown', (ev) => {
        const row = ev.target.closest('.row');
        list.focus({ preventScroll: true });
        if (row) select(Number(row.dataset.index));
      });
      list.addEventListener('keydown', (ev) => {
        const moves = { ArrowDown: selection + 1, ArrowUp: Math.max(selection - 1, 0), Home: 0, End: count - 1 };
        if (ev.key in moves) {
          ev.preventDefault();
          select(Math.min(moves[ev.key], count - 1));
        }
      });
      watchFocus(list);
      view.el = list;
      view.focusable = () => !list.hidden && !list.classList.contains('disabled');
      view.update = (s) => {
        list.hidden = !s.visible;
        list.classList.toggle('disabled', !s.enabled);
        list.tabIndex = s.enabled ? 0 : -1;
        const stops = has('usetabstops') ? s.tabStops : null;
        syncRows(list, s.items, s.selection, stops);
        if (s.selection !== selection && s.selection >= 0) {
          const row = list.children[s.selection];
          if (row) row.scrollIntoView({ block: 'nearest' });
        }
        count = s.items.length;
        selection = s.selection;
      };
      break;
    }
    case 'combobox': {
      const sel = document.createElement('select');
      common(sel);
      place(sel, c, Math.min(c.h, 12));  // the template height is the drop-down's
      sel.addEventListener('change', () => send({ op: 'select', index: sel.selectedIndex }));
      watchFocus(sel);
      view.el = sel;
      view.focusable = () => !sel.disabled && !sel.hidden;
      view.update = (s) => {
        const opts = sel.options;
        while (opts.length > s.items.length) sel.remove(opts.length - 1);
        s.items.forEach((text, i) => {
          if (i < opts.length) {
            if (opts[i].text !== text) opts[i].text = text;
          } else {
            sel.add(new Option(text));
          }
        });
        sel.selectedIndex = s.selection;
        sel.disabled = !s.enabled;
        sel.hidden = !s.visible;
      };
      break;
    }
    default: {
      view.el = common(document.createElement('div'));
    }
  }
  return view;
}

function setText(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

// Rows of a list box, with tab-separated columns at the list's tab stops (dialog units).
function syncRows(list, items, selection, stops) {
  while (list.children.length > items.length) list.lastChild.remove();
  items.forEach((text, i) => {
    let row = list.children[i];
    if (!row) {
      row = document.createElement('div');
      row.className = 'row';
      row.setAttribute('role', 'option');
      row.dataset.index = String(i);
      list.append(row);
    }
    if (row.dataset.text !== text) {
      row.dataset.text = text;
      row.replaceChildren();
      if (stops) {
        // Each column reaches to the next stop; a longer text pushes the columns after it
        // to the right, as text drawn with tab stops never overlaps itself.
        const parts = text.split('\t');
        parts.forEach((part, k) => {
          const cell = document.createElement('span');
          cell.className = part === '' ? 'tab' : 'cell';
          if (k + 1 < parts.length) cell.style.minWidth = `calc(${tabStop(stops, k + 1) - tabStop(stops, k)} * var(--ux))`;
          cell.textContent = part;
          row.append(cell);
        });
      } else {
        row.textContent = text.replace(/\t/g, ' ');
      }
    }
    row.classList.toggle('selected', i === selection);
    row.setAttribute('aria-selected', String(i === selection));
  });
}

// Where the text after the k-th tab starts: the k-th stop; past the last given stop,
// further stops follow at the default spacing.
function tabStop(stops, k) {
  if (k === 0) return 0;
  if (stops.length === 0) return k * TAB_DEFAULT;
  if (k <= stops.length) return stops[k - 1];
  return stops[stops.length - 1] + (k - stops.length) * TAB_DEFAULT;
}
