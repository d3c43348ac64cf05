// Shared by every page: fetching JSON, making elements whose text is set with
// textContent (never markup), and the status line.
'use strict';

const dc = {
  element(tag, text, className) {
    const node = document.createElement(tag);
    if (text !== undefined && text !== null) node.textContent = String(text);
    if (className) node.className = className;
    return node;
  },
  replaceAll(parent, children) {
    parent.replaceChildren(...children);
  },
  async json(url) {
    const response = await fetch(url, { cache: 'no-store' });
    const body = await response.json().catch(() => null);
    if (!response.ok) {
      const error = new Error(body && body.error ? body.error : response.status + ' ' + url);
      error.status = response.status;
      throw error;
    }
    return body;
  },
  status(text) {
    document.getElementById('status').textContent = text || '';
  },
  // Runs step now and then every intervalMs, one at a time; a failure shows in the status.
  every(intervalMs, step) {
    const run = async () => {
      try {
        await dc.ready;
        await step();
        dc.status('');
      } catch (error) {
        dc.status('Not reachable: ' + error.message);
      }
      setTimeout(run, intervalMs);
    };
    run();
  },
  // Fills a <select> with names, keeping the chosen one when it is still there.
  fillSelect(select, names) {
    const chosen = select.value;
    const same = select.options.length === names.length &&
      names.every((name, i) => select.options[i].value === name);
    if (same) return;
    dc.replaceAll(select, names.map((name) => {
      const option = dc.element('option', name);
      option.value = name;
      return option;
    }));
    if (names.includes(chosen)) select.value = chosen;
  },
  // Times show in one zone on every page: the data unit's (by name, the default),
  // the browser's or UTC, as chosen in the bar and kept by the browser.
  zoneChoice: localStorage.getItem('dc-zone') || 'unit',
  unitZone: null,
  timeZone() {
    if (dc.zoneChoice === 'utc') return 'UTC';
    if (dc.zoneChoice === 'unit' && dc.unitZone) return dc.unitZone;
    return undefined;
  },
  format: null,
  // The date and clock fields of a moment in the chosen zone.
  fields(value) {
    if (!dc.format) {
      const options = { year: 'numeric', month: '2-digit', day: '2-digit', hour: '2-digit',
        minute: '2-digit', second: '2-digit', hourCycle: 'h23', timeZoneName: 'short' };
      try {
        dc.format = new Intl.DateTimeFormat('en-US', { ...options, timeZone: dc.timeZone() });
      } catch (error) {  // a zone name the browser does not know
        dc.format = new Intl.DateTimeFormat('en-US', options);
      }
    }
    const part = {};
    for (const { type, value: text } of dc.format.formatToParts(new Date(value))) part[type] = text;
    return part;
  },
  // One format everywhere: 2026-12-06 09:21:00 CET. value: ISO text with offset, or epoch ms.
  time(value) {
    if (value === undefined || value === null || value === '') return '';
    const part = dc.fields(value);
    return part.year + '-' + part.month + '-' + part.day + ' ' + part.hour + ':' + part.minute +
      ':' + part.second + ' ' + part.timeZoneName;
  },
  // A Date whose browser-local fields are the moment's fields in the chosen zone (for plots).
  wallClock(ms) {
    const part = dc.fields(ms);
    return new Date(+part.year, part.month - 1, +part.day, +part.hour, +part.minute, +part.second);
  },
};

dc.ready = dc.json('/api/zone').then((answer) => { dc.unitZone = answer.zone || null; })
  .catch(() => {});

(async () => {
  const choice = dc.element('select');
  choice.id = 'zone';
  choice.title = 'Time zone of the times shown';
  const add = (value, text) => {
    const option = dc.element('option', text);
    option.value = value;
    choice.append(option);
  };
  await dc.ready;
  add('unit', 'Data unit: ' + (dc.unitZone || 'unknown'));
  add('browser', 'Browser: ' + Intl.DateTimeFormat().resolvedOptions().timeZone);
  add('utc', 'UTC');
  choice.value = dc.zoneChoice;
  choice.addEventListener('change', () => {
    localStorage.setItem('dc-zone', choice.value);
    location.reload();
  });
  document.querySelector('nav').insertBefore(choice, document.getElementById('status'));
})();

(() => {
  const page = document.querySelector('main').dataset.page;
  const link = document.getElementById('nav-' + page);
  if (link) link.className = 'current';
})();
