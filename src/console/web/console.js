// The operator console: keeps a WebSocket to the host, draws each snapshot it pushes,
// and sends the operator's actions back as commands. Reconnects by itself.
import { DialogView, typingDone } from './dialogs.js';

const stage = document.getElementById('stage');
const boxLayer = document.getElementById('boxes');
const noticeLayer = document.getElementById('notices');
const banner = document.getElementById('banner');

const BASE_UX = 1.5;    // pixels per horizontal dialog unit at scale 1 (8-point dialog font)
const BASE_UY = 1.625;  // pixels per vertical dialog unit
const BASE_FONT = 10;   // pixels of the 8-point dialog font in the page's narrower fallbacks

const views = new Map();  // hwnd -> DialogView
let snapshot = null;
let socket = null;
let backoff = 250;

function send(command) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(command));
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  socket = new WebSocket(`${scheme}://${location.host}/ws`);
  socket.addEventListener('open', () => {
    backoff = 250;
    showBanner(null);
  });
  socket.addEventListener('message', (event) => {
    try {
      apply(JSON.parse(event.data));
    } catch (err) {
      console.error('bad snapshot', err);
    }
  });
  socket.addEventListener('close', () => {
    socket = null;
    showBanner('Connection to the host lost \u2014 reconnecting\u2026');
    checkLogin();
    setTimeout(connect, backoff);
    backoff = Math.min(backoff * 2, 5000);
  });
}

// A host that restarted with another token refuses this page: say so instead of retrying blindly.
async function checkLogin() {
  try {
    const r = await fetch('/state', { cache: 'no-store' });
    if (r.status === 401 || r.status === 403) {
      showBanner('The host no longer accepts this login: open the address it printed at start-up.');
    }
  } catch {
    // The host is down; the retry goes on.
  }
}

function showBanner(text) {
  banner.hidden = !text;
  banner.textContent = text ?? '';
  document.body.classList.toggle('offline', !!text);
}

function apply(snap) {
  if (snap.type !== 'snapshot') return;
  snapshot = snap;
  const st = snap.status ?? {};
  const parts = [st.sessionName, st.hostAddress].filter((p) => p);
  document.title = parts.length ? `${parts.join(' \u2014 ')} \u2014 quarneld` : 'quarneld console';

  const seen = new Set();
  const top = [...snap.dialogs].reverse().find((d) => d.enabled);
  snap.dialogs.forEach((d, i) => {
    let view = views.get(d.hwnd);
    if (view && view.template !== d.template) {
      view.el.remove();
      view = null;
    }
    if (!view) {
      view = new DialogView(d, send);
      view.justCreated = true;
      views.set(d.hwnd, view);
      stage.append(view.el);
    }
    view.el.style.zIndex = String(10 + i);
    view.update(d, d === top && !snap.boxes.some((b) => b.question));
    seen.add(d.hwnd);
  });
  for (const [hwnd, view] of views) {
    if (!seen.has(hwnd)) {
      view.el.remove();
      views.delete(hwnd);
    }
  }
  renderBoxes(snap.boxes);
  layout();
}

// One scale for the page: the bottom dialog (the main window) fills the screen.
function layout() {
  if (!snapshot || snapshot.dialogs.length === 0) return;
  const main = snapshot.dialogs[0];
  const titleRows = 1.8;  // title bar height in font heights
  const margin = 16;
  const sx = (innerWidth - margin) / (main.width * BASE_UX + 4);
  const sy = (innerHeight - margin) / (main.height * BASE_UY + titleRows * BASE_FONT + 4);
  const scale = Math.max(0.5, Math.min(sx, sy));
  const root = document.documentElement.style;
  root.setProperty('--ux', `${BASE_UX * scale}px`);
  root.setProperty('--uy', `${BASE_UY * scale}px`);
  root.setProperty('--fs', `${BASE_FONT * scale}px`);
  // Every dialog is centred over the stage, the later ones above the earlier.
  for (const view of views.values()) {
    const r = view.el.getBoundingClientRect();
    view.el.style.left = `${Math.max(0, (innerWidth - r.width) / 2)}px`;
    view.el.style.top = `${Math.max(0, (innerHeight - r.height) / 2)}px`;
  }
}
addEventListener('resize', layout);

const BUTTONS = {
  ok: [['OK', 1]],
  okcancel: [['OK', 1], ['Cancel', 2]],
  yesno: [['Yes', 6], ['No', 7]],
};
const ICONS = { error: '\u2715', warning: '!', information: 'i', question: '?', none: '' };

function boxElement(box, classes, onButton, buttons) {
  const el = document.createElement('section');
  el.className = `dialog ${classes}`;
  el.dataset.boxId = String(box.id);
  el.setAttribute('role', box.question ? 'alertdialog' : 'status');
  const bar = document.createElement('header');
  bar.className = 'titlebar';
  const title = document.createElement('span');
  title.className = 'title';
  title.textContent = box.caption;
  bar.append(title);
  const body = document.createElement('div');
  body.className = 'body';
  const icon = document.createElement('div');
  icon.className = `icon ${box.icon}`;
  icon.textContent = ICONS[box.icon] ?? '';
  const text = document.createElement('div');
  text.className = 'text';
  text.textContent = box.text;
  body.append(icon, text);
  const row = document.createElement('div');
  row.className = 'buttons';
  for (const [label, id] of buttons) {
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'ctl';
    b.textContent = label;
    b.dataset.button = String(id);
    b.disabled = !box.acceptsInput;
    b.addEventListener('click', () => onButton(id));
    row.append(b);
  }
  el.append(bar, body, row);
  return el;
}

// Question boxes hold the dialogs under them until answered; notices wait in a corner
// for the operator to dismiss them and hold nothing.
function renderBoxes(boxes) {
  const questions = boxes.filter((b) => b.question);
  const notices = boxes.filter((b) => !b.question);
  syncBoxes(boxLayer, questions, (box) =>
    boxElement(box, 'box', (button) => send({ op: 'answer', box: box.id, button }), BUTTONS[box.buttons] ?? BUTTONS.ok));
  syncBoxes(noticeLayer, notices, (box) =>
    boxElement(box, 'notice', () => send({ op: 'dismiss', box: box.id }), BUTTONS.ok));
  const active = activeQuestion();
  if (active) {
    const el = boxLayer.querySelector(`[data-box-id="${active.id}"]`);
    const first = el && el.querySelector('button:not(:disabled)');
    if (first && !el.contains(document.activeElement)) first.focus({ preventScroll: true });
  }
}

function syncBoxes(layer, boxes, make) {
  const want = new Set(boxes.map((b) => String(b.id)));
  for (const el of [...layer.children]) if (!want.has(el.dataset.boxId)) el.remove();
  for (const box of boxes) {
    const existing = layer.querySelector(`[data-box-id="${box.id}"]`);
    if (existing) {
      existing.querySelectorAll('button').forEach((b) => { b.disabled = !box.acceptsInput; });
    } else {
      layer.append(make(box));
    }
  }
}

function activeQuestion() {
  return snapshot?.boxes.find((b) => b.question && b.acceptsInput) ?? null;
}

// The dialog that keys go to: the one holding the page focus, else the topmost enabled.
function keyDialog() {
  const el = document.activeElement?.closest('section.dialog[data-hwnd]');
  if (el && !el.hasAttribute('inert')) return Number(el.dataset.hwnd);
  const top = snapshot && [...snapshot.dialogs].reverse().find((d) => d.enabled);
  return top ? top.hwnd : null;
}

document.addEventListener('keydown', (event) => {
  if (event.key !== 'Enter' && event.key !== 'Escape') return;
  if (event.altKey || event.ctrlKey || event.metaKey) return;
  if (event.target.closest?.('#notices')) return;  // a notice's own OK button
  const question = activeQuestion();
  if (question) {
    event.preventDefault();
    if (event.key === 'Enter') {
      const focused = document.activeElement?.dataset?.button;
      const first = (BUTTONS[question.buttons] ?? BUTTONS.ok)[0][1];
      send({ op: 'answer', box: question.id, button: focused ? Number(focused) : first });
    } else if (question.buttons === 'okcancel') {
      send({ op: 'answer', box: question.id, button: 2 });
    }
    return;
  }
  if (event.target.tagName === 'SELECT' && event.key === 'Enter') return;
  const hwnd = keyDialog();
  if (hwnd === null) return;
  event.preventDefault();
  typingDone();
  send({ op: event.key === 'Enter' ? 'enter' : 'escape', hwnd });
}, true);

connect();
