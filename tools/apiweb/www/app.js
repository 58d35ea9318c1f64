'use strict';
// The camera's settings page. Every value is read and written through the gateway's
// JSON-RPC; what the session's role may call is the catalog the gateway returns for it,
// and nothing outside that catalog is offered.
const RPC = '/cgi-bin/apiweb/rpc';
const SNAPSHOT = '/cgi-bin/apiweb/snapshot?channel=';
const ACCOUNTS = 10;  // the daemon keeps ten accounts
// One section per family of the settings document; the sets of its settings are found in the
// catalog by the family word their names carry (API_<word>_...Set...).
const SECTIONS = [
  {family: 'video', title: 'Video', words: ['Video', 'Audio'], perChannel: true},
  {family: 'time', title: 'Time', words: ['SNTP'], live: ['Date', 'Time']},
  {family: 'network', title: 'Network', words: ['Net', 'NET']},
  {family: 'mail', title: 'Mail', words: ['SMTP']},
  {family: 'ftp', title: 'FTP upload', words: ['Net']},
];

const $ = (id) => document.getElementById(id);
const el = (tag, props, ...children) => {
  const e = Object.assign(document.createElement(tag), props);
  e.append(...children);
  return e;
};
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const roleOf = (level) => (level >= 3 ? 'admin' : level === 2 ? 'operator' : level === 1 ? 'viewer' : 'no access');

let nextId = 1;
let ops = new Map();  // operation name -> catalog entry
let docs = {};        // family -> its part of the settings document
let snapGeneration = 0;

// The gateway's error as it reports it: message, code and the data it names.
function describe(err) {
  if (!err || err.code === undefined) return String((err && err.message) || err);
  let text = `${err.message} (${err.code})`;
  if (err.data !== undefined) text += ': ' + (typeof err.data === 'string' ? err.data : JSON.stringify(err.data));
  return text;
}

// An answer that is not JSON (a web server's own error page) is described by its HTTP status.
async function answerOf(res) {
  const text = await res.text();
  try {
    return JSON.parse(text);
  } catch (e) {
    const plain = !/html/.test(res.headers.get('Content-Type')) && text.trim();  // a server's error page adds nothing
    throw {message: `HTTP ${res.status} ${res.statusText}${plain ? ': ' + plain.slice(0, 300) : ''}`};
  }
}

async function post(body) {
  const res = await fetch(RPC, {
    method: 'POST', credentials: 'same-origin', cache: 'no-store',
    headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body),
  });
  return answerOf(res);
}

function settle(answer, method) {
  if (answer && answer.error) {
    if (answer.error.code === -32001 && method !== 'session.login') showLogin(describe(answer.error));
    throw answer.error;
  }
  if (!answer || !('result' in answer)) throw {message: 'the gateway answered without a result'};
  return answer.result;
}

async function call(method, params = {}) {
  return settle(await post({jsonrpc: '2.0', id: nextId++, method, params}), method);
}

// Several calls in one request; each comes back as its result or as {error}.
async function batch(calls) {
  const first = nextId;
  nextId += calls.length;
  const answers = await post(calls.map(([method, params], i) => ({jsonrpc: '2.0', id: first + i, method, params})));
  if (!Array.isArray(answers)) settle(answers, 'batch');
  const byId = new Map(answers.map((a) => [a.id, a]));
  return calls.map(([method], i) => {
    try {
      return settle(byId.get(first + i) || {error: {message: 'no answer in the batch'}}, method);
    } catch (e) {
      return {error: e};
    }
  });
}

function showLogin(message) {
  snapGeneration++;
  delete document.body.dataset.user;
  // Nothing of the last session stays in the page.
  for (const {family} of SECTIONS) $(family + '-fields').replaceChildren();
  $('users-table').tBodies[0].replaceChildren();
  $('mail-outcome').textContent = $('users-status').textContent = $('snapshot-status').textContent = '';
  $('snapshot').removeAttribute('src');
  $('app').hidden = $('logout').hidden = $('whoami').hidden = true;
  $('login-section').hidden = false;
  $('login-error').textContent = message || '';
  $('login-user').focus();
}

async function start() {
  let me;
  try {
    me = await call('session.whoami');
  } catch (e) {
    showLogin(e.code === -32001 ? '' : describe(e));  // no session yet: nothing went wrong
    return;
  }
  enter(me);
}

async function enter(me) {
  $('login-section').hidden = true;
  $('whoami').textContent = `${me.user} (${me.role})`;
  $('whoami').hidden = $('logout').hidden = $('app').hidden = false;
  $('app-error').textContent = '';
  let answers;
  try {
    answers = await batch([['rpc.catalog', {}], ...SECTIONS.map((s) => ['settings.dump', {families: [s.family]}])]);
    if (answers[0].error) throw answers[0].error;
    ops = new Map(answers[0].map((e) => [e.name, e]));
    docs = {};
    await readValues(answers);
  } catch (e) {
    $('app-error').textContent = describe(e);
    return;
  }
  const channels = Object.keys(docs.video || {}).filter((k) => /^channel \d+$/.test(k)).map((k) => k.slice(8));
  $('channel').replaceChildren(...(channels.length ? channels : ['0']).map((c) => el('option', {value: c, textContent: c})));
  SECTIONS.forEach(renderSection);
  showUsers();
  $('mail-test').hidden = !ops.has('API_SMTP_Send_Text');
  refreshSnapshot();
  document.body.dataset.user = me.user;
}

// Each family's document, and the values that no document keeps (the clock) read with their gets.
async function readValues(answers) {
  for (const [i, sec] of SECTIONS.entries()) {
    const answer = answers[i + 1];
    sec.error = answer.error;
    docs[sec.family] = answer.error ? null : answer[sec.family] || {};
  }
  const wanted = [];
  for (const sec of SECTIONS) {
    for (const key of sec.live || []) {
      const setter = settersOf(sec.words).get(key);
      const getter = setter && setter.name.replace('Set', 'Get');
      if (docs[sec.family] && ops.has(getter)) wanted.push([sec.family, key, getter]);
    }
  }
  if (!wanted.length) return;
  const live = await batch(wanted.map(([, , getter]) => [getter, {}]));
  live.forEach((a, i) => {
    const [family, key] = wanted[i];
    if (!a.error) docs[family][key] = typeof a.result === 'string' ? a.result : Object.values(a.outputs || {})[0];
  });
}

// The sets this role may call, by the key the settings document gives their setting.
function settersOf(words) {
  const found = new Map();
  for (const [name, entry] of ops) {
    const m = /^API_([A-Za-z0-9]+)_(\w*?)Set_?(\w+)$/.exec(name);
    if (m && words.includes(m[1]) && entry.params) found.set(m[2] + m[3], entry);
  }
  return found;
}

function renderSection(sec) {
  const doc = docs[sec.family], setters = settersOf(sec.words), box = $(sec.family + '-fields');
  box.replaceChildren();
  const offered = doc ? Object.keys(doc).some((k) => setters.has(k)) : setters.size > 0 && sec.error.code !== -32002;
  $(sec.family + '-section').hidden = !(offered || (sec.perChannel && doc));
  if (!doc) {
    box.append(el('p', {className: 'error', role: 'alert', textContent: describe(sec.error)}));
    return;
  }
  const channel = sec.perChannel ? +$('channel').value : undefined;
  if (sec.perChannel) {
    box.append(el('h3', {textContent: 'Channel ' + channel}));
    for (const [key, value] of Object.entries(doc['channel ' + channel] || {})) addSetting(box, key, value, setters.get(key), channel);
    box.append(el('h3', {textContent: 'All channels'}));
  }
  for (const [key, value] of Object.entries(doc)) {
    if (!/^channel \d+$/.test(key)) addSetting(box, key, value, setters.get(key));
  }
}

const isEntries = (v) => v && typeof v === 'object' && !Array.isArray(v) && Object.keys(v).every((k) => /^\d+$/.test(k));

// One setting: its fields from the set's parameters (ranges and lengths from the catalog),
// applied as soon as one of them changes.
function addSetting(box, label, value, setter, channel, index) {
  if (isEntries(value)) {
    for (const [i, v] of Object.entries(value)) addSetting(box, `${label} ${i}`, v, setter, channel, +i);
    return;
  }
  const id = box.id.replace('-fields', '-') + label.replace(/\W+/g, '-');
  const row = el('div', {className: 'setting', id: id + '-row'});
  box.append(row);
  if (!setter) {
    const shown = value === null ? 'withheld'
      : typeof value === 'object' ? Object.entries(value).map(([k, v]) => `${k} ${v}`).join(', ') : String(value);
    row.append(el('span', {textContent: label}), el('output', {id, textContent: shown}));
    return;
  }
  let inputs = setter.params.filter((p) => p.dir !== 'out');
  const fixed = {};
  if (channel !== undefined && /^channel$/i.test((inputs[0] || {}).name)) fixed[inputs.shift().name] = channel;
  if (index !== undefined && inputs.length > 1) fixed[inputs.shift().name] = index;
  const single = inputs.length === 1;
  const values = single ? {[inputs[0].name]: value} : value || {};
  const fields = inputs.map((p) => field(p, values[p.name], single ? id : `${id}-${p.name}`, single ? label : p.name));
  if (single) row.append(...fields[0].parts);
  else row.append(el('fieldset', {}, el('legend', {textContent: label}), ...fields.flatMap((f) => f.parts)));
  const status = el('output', {id: id + '-status'});
  row.append(status);
  row.addEventListener('change', async () => {
    const params = {...fixed};
    for (const f of fields) params[f.name] = f.read();
    status.className = '';
    status.textContent = 'saving…';
    try {
      await call(setter.name, params);
      status.className = 'ok';
      status.textContent = 'saved';
    } catch (e) {
      status.className = 'failed';
      status.textContent = describe(e);
    }
  });
}

function field(p, value, id, text) {
  const label = el('label', {htmlFor: id, textContent: text});
  if (typeof p.min !== 'number' || Array.isArray(value)) {
    const secret = p.secret || value === null;  // the gateway never sends a secret's value
    const input = el('input', {id, type: secret ? 'password' : 'text', value: Array.isArray(value) ? value.join(',') : value ?? ''});
    if (secret) Object.assign(input, {placeholder: value === null ? 'unchanged' : '', autocomplete: 'new-password'});
    if (p.size && p.text) input.maxLength = p.size - 1;
    return {name: p.name, parts: [label, input], read: () => input.value};
  }
  const number = el('input', {id, type: 'number', min: p.min, max: p.max, step: 1, value: value ?? ''});
  const box = el('span', {className: 'number'});
  if (p.max - p.min <= 1000) {
    const range = el('input', {id: id + '-range', type: 'range', min: p.min, max: p.max, value: value ?? p.min});
    range.setAttribute('aria-label', text);
    range.addEventListener('input', () => { number.value = range.value; });
    number.addEventListener('input', () => { range.value = number.value; });
    box.append(range);
  }
  box.append(number);
  // A value that is not a whole number goes as typed: the gateway says what it expects.
  const read = () => (/^-?\d+$/.test(number.value.trim()) ? Number(number.value) : number.value);
  return {name: p.name, parts: [label, box], read};
}

async function showUsers() {
  const section = $('users-section');
  const changes = ['API_USER_SetAddUser', 'API_USER_SetDelUser', 'API_USER_SetChangePassword'].some((n) => ops.has(n));
  section.hidden = !(changes && ops.has('API_USER_GetUserInfoByID'));
  if (section.hidden) return;
  $('user-add-form').hidden = !ops.has('API_USER_SetAddUser');
  const rows = [];
  const answers = await batch([...Array(ACCOUNTS).keys()].map((ID) => ['API_USER_GetUserInfoByID', {ID}]));
  for (const a of answers) {
    if (a.error) {
      $('users-status').textContent = describe(a.error);
      break;
    }
    const o = a.outputs || {};
    if (o.User) rows.push(userRow(o.User, o.Level));
  }
  $('users-table').tBodies[0].replaceChildren(...rows);
}

function userRow(user, level) {
  const key = user.replace(/\W+/g, '-');
  const password = el('input', {id: `user-password-${key}`, type: 'password', autocomplete: 'new-password'});
  password.setAttribute('aria-label', `New password for ${user}`);
  const actions = el('td');
  if (ops.has('API_USER_SetChangePassword')) {
    actions.append(el('button', {type: 'button', id: `user-setpw-${key}`, textContent: 'Set password',
      onclick: () => userAction('API_USER_SetChangePassword', {User: user, NewPassword: password.value})}));
  }
  if (ops.has('API_USER_SetDelUser')) {
    actions.append(' ', el('button', {type: 'button', id: `user-delete-${key}`, textContent: 'Delete',
      onclick: () => userAction('API_USER_SetDelUser', {User: user})}));
  }
  return el('tr', {}, el('td', {textContent: user}), el('td', {textContent: roleOf(level)}),
    el('td', {}, ops.has('API_USER_SetChangePassword') ? password : ''), actions);
}

async function userAction(method, params) {
  const status = $('users-status');
  status.textContent = 'saving…';
  try {
    await call(method, params);
    status.textContent = 'saved';
    await showUsers();
  } catch (e) {
    status.textContent = describe(e);
  }
}

// The picture is fetched, not linked, so that a refusal shows as the gateway words it.
async function refreshSnapshot() {
  const generation = ++snapGeneration, img = $('snapshot'), status = $('snapshot-status');
  for (; generation === snapGeneration; await sleep(2000)) {
    if (document.hidden) continue;  // no picture for a tab nobody looks at
    try {
      const res = await fetch(SNAPSHOT + encodeURIComponent($('channel').value), {credentials: 'same-origin', cache: 'no-store'});
      if (!res.ok) {
        const answer = await answerOf(res);
        throw answer.error || {message: `HTTP ${res.status}`};
      }
      const picture = URL.createObjectURL(await res.blob());
      if (generation !== snapGeneration) break;
      const old = img.src;
      img.src = picture;
      if (old.startsWith('blob:')) URL.revokeObjectURL(old);
      status.textContent = 'taken at ' + new Date().toLocaleTimeString();
    } catch (e) {
      if (e.code === -32001) return showLogin(describe(e));
      status.textContent = describe(e);
    }
  }
}

async function sendTestMail() {
  const out = $('mail-outcome');
  out.textContent = 'sending…';
  try {
    const before = await call('outbox.list');
    const known = Math.max(0, ...[...before.queued, ...before.recent].map((d) => d.id));
    await call('API_SMTP_Send_Text', {subject: 'Test mail from the camera', content: 'This test mail was sent from the settings page.'});
    for (let i = 0; i < 120; i++) {
      const box = await call('outbox.list');
      const done = box.recent.find((d) => d.id > known);
      if (done) {
        out.textContent = `delivery #${done.id} ${done.result} after ${done.attempts} attempt(s): ${done.answer}`;
        return;
      }
      const d = box.queued.find((q) => q.id > known);
      out.textContent = d ? `delivery #${d.id} ${d.sending ? 'sending' : 'queued'}, attempt ${d.attempts} of ${d.max_attempts}` +
        (d.last_answer ? `: ${d.last_answer}` : '') : 'queued';
      await sleep(1000);
    }
    out.textContent += ' (still waiting; the outbox keeps trying)';
  } catch (e) {
    out.textContent = describe(e);
  }
}

$('login-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  $('login-error').textContent = '';
  let me;
  try {
    me = await call('session.login', {user: $('login-user').value, password: $('login-password').value});
  } catch (e) {
    $('login-error').textContent = describe(e);
    return;
  } finally {
    $('login-password').value = '';
  }
  enter(me);
});
$('logout').addEventListener('click', async () => {
  try {
    await call('session.logout');
    showLogin('');
  } catch (e) {
    $('app-error').textContent = describe(e);
  }
});
$('channel').addEventListener('change', () => {
  renderSection(SECTIONS[0]);
  refreshSnapshot();
});
for (const {family, title} of SECTIONS) {
  const section = el('section', {id: family + '-section', hidden: true},
    el('h2', {id: family + '-title', textContent: title}), el('div', {id: family + '-fields', className: 'fields'}));
  section.setAttribute('aria-labelledby', family + '-title');
  $('families').append(section);
}
$('mail-section').append(el('button', {type: 'button', id: 'mail-test', textContent: 'Send a test mail', onclick: sendTestMail}),
  el('p', {id: 'mail-outcome', role: 'status'}));
$('user-add-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  userAction('API_USER_SetAddUser', {Level: +$('user-add-level').value, User: $('user-add-name').value, Password: $('user-add-password').value});
  $('user-add-password').value = '';
});
start();
