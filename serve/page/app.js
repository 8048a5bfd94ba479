'use strict';
// The page draws what /api/events sends; only the filtered record list asks
// the server itself. Everything is built with DOM calls: no text from the log
// is ever parsed as markup.
const SVG = 'http://www.w3.org/2000/svg';
let serverOffsetMs = 0;

function el(tag, attrs, ...children) {
  const node = tag.startsWith('svg:') ? document.createElementNS(SVG, tag.slice(4)) : document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  for (const c of children) node.append(c);
  return node;
}

function rows(tbody, list, make) {
  tbody.replaceChildren(...list.map(make));
}

function ago(iso) {
  const s = Math.max(0, Math.round((Date.now() + serverOffsetMs - Date.parse(iso)) / 1000));
  return s < 120 ? s + ' s' : Math.round(s / 60) + ' min';
}

function drawUnits(view) {
  const box = document.getElementById('units');
  box.replaceChildren(...view.units.map(u => {
    const cls = 'tile ' + (u.silent ? 'silent' : u.state === 'programming' ? 'programming' : u.lastResult === 'fail' ? 'fail' : '');
    return el('div', { class: cls, 'data-silent': u.silent },
      el('div', { class: 'name' }, u.station + ' · ' + u.port),
      el('div', {}, u.silent ? 'SILENT' : u.state),
      el('div', {}, 'last: ' + u.lastResult + ', ' + ago(u.lastAt) + ' ago'),
      el('div', { class: 'why' }, u.lastReason || ''),
      el('div', {}, u.chipsThisHour + ' chips this hour' + (u.cycleSeconds ? ', cycle ' + u.cycleSeconds.toFixed(1) + ' s' : '')));
  }));
  if (!view.units.length) box.append(el('p', {}, 'No chips in the last 24 hours.'));
}

function barChart(id, bars, max, label) {
  const w = 520, h = 180, pad = 24, bw = Math.min(60, (w - pad) / Math.max(1, bars.length));
  const svg = el('svg:svg', { width: w, height: h + 30, viewBox: `0 0 ${w} ${h + 30}`, role: 'img' });
  svg.append(el('svg:line', { x1: pad, y1: h, x2: w, y2: h, stroke: '#889' }));
  bars.forEach((b, i) => {
    const bh = b.value === null ? 0 : (h - 10) * b.value / (max || 1);
    const rect = el('svg:rect', { x: pad + i * bw + 1, y: h - bh, width: Math.max(1, bw - 2), height: bh, fill: b.color, class: 'bar' });
    rect.append(el('svg:title', {}, b.title));
    svg.append(rect);
    if (b.label) svg.append(el('svg:text', { x: pad + i * bw + bw / 2, y: h + 14, 'font-size': 10, 'text-anchor': 'middle' }, b.label));
  });
  svg.append(el('svg:text', { x: 2, y: 12, 'font-size': 10 }, label));
  document.getElementById(id).replaceChildren(svg);
}

function drawYield(view) {
  barChart('yield', view.hours.map((h, i) => ({
    value: h.yieldPercent,
    color: h.yieldPercent === null ? '#ccc' : h.yieldPercent >= 95 ? '#3a9d5d' : h.yieldPercent >= 80 ? '#e3a21a' : '#d0453a',
    title: `${h.hour}: ${h.passed}/${h.chips}` + (h.yieldPercent === null ? '' : ` (${h.yieldPercent.toFixed(1)} %)`),
    label: i % 3 === 0 ? h.hour.slice(11) : ''
  })), 100, '%');
}

function drawFailures(view) {
  const max = Math.max(1, ...view.kinds.map(k => k.count));
  barChart('failures', view.kinds.map(k => ({ value: k.count, color: '#d0453a', title: `${k.kind}: ${k.count}`, label: k.kind })), max, 'chips');
}

function drawNumbers(view) {
  const list = view.series.map(s => ['series', s]).concat(view.pools.map(p => ['pool', p]));
  rows(document.querySelector('#numbers tbody'), list, ([kind, n]) =>
    el('tr', { class: n.low ? 'low' : '' }, el('td', {}, kind), el('td', {}, n.name), el('td', {}, String(n.next)),
      el('td', {}, String(n.last)), el('td', {}, n.left + (n.low ? '  — running low' : ''))));
}

function recordRow(r) {
  return el('tr', { class: r.result }, el('td', {}, String(r.id)), el('td', {}, r.recorded_at || ''),
    el('td', {}, r.station || ''), el('td', {}, r.port || ''), el('td', {}, r.lot || ''), el('td', {}, r.result),
    el('td', {}, r.result === 'fail' ? (r.failed_step || '') + ': ' + (r.failure_detail || '') : ''));
}

function drawInterrupted(view) {
  const box = document.getElementById('interrupted');
  box.hidden = view.records.length === 0;
  rows(box.querySelector('tbody'), view.records, r => el('tr', {}, el('td', {}, String(r.id)),
    el('td', {}, r.recorded_at || ''), el('td', {}, r.station || ''), el('td', {}, r.port || ''),
    el('td', {}, r.lot || ''), el('td', {}, r.serial || '')));
}

function filterQuery() {
  const params = new URLSearchParams();
  for (const input of document.getElementById('filter').elements)
    if (input.name && input.value) params.set(input.name, input.value);
  return params.toString();
}

async function drawRecords(snapshotView) {
  const query = filterQuery();
  let view = snapshotView;
  if (query || !view) {
    const reply = await fetch('api/records?' + query, { credentials: 'same-origin' });
    if (!reply.ok) return;
    view = await reply.json();
  }
  rows(document.querySelector('#records tbody'), view.records, recordRow);
}

function draw(snapshot) {
  serverOffsetMs = Date.parse(snapshot.time) - Date.now();
  drawInterrupted(snapshot.interrupted);
  drawUnits(snapshot.units);
  drawYield(snapshot.yield);
  drawFailures(snapshot.failures);
  drawNumbers(snapshot.series);
  drawRecords(snapshot.records);
  document.getElementById('status').textContent = 'as of ' + snapshot.time;
}

// The page comes with the snapshot of its moment: drawn before anything else
// is asked for.
let last = null;
const embedded = document.getElementById('snapshot').textContent;
if (embedded) { last = JSON.parse(embedded); draw(last); }
const events = new EventSource('api/events');
events.addEventListener('snapshot', e => { last = JSON.parse(e.data); draw(last); });
events.onerror = () => { document.getElementById('status').textContent = 'reconnecting…'; };
document.getElementById('filter').addEventListener('input', () => drawRecords(last && !filterQuery() ? last.records : null));
setInterval(() => { if (last) drawUnits(last.units); }, 5000);
