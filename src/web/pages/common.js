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
  time(iso) {
    return iso ? new Date(iso).toLocaleString() : '';
  },
};

(() => {
  const page = document.querySelector('main').dataset.page;
  const link = document.getElementById('nav-' + page);
  if (link) link.className = 'current';
})();
