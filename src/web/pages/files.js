// The data tree, read only: the path is the part of the address after "#".
'use strict';

(() => {
  function currentPath() {
    try {
      return decodeURIComponent(location.hash.slice(1));
    } catch (error) {
      return location.hash.slice(1);  // not percent-encoded: taken as it is
    }
  }

  function join(path, name) {
    return path ? path + '/' + name : name;
  }

  function nameCell(path, entry) {
    const link = dc.element('a', entry.dir ? entry.name + '/' : entry.name);
    const target = join(path, entry.name);
    link.href = entry.dir ? '#' + encodeURIComponent(target)
      : '/download?path=' + encodeURIComponent(target);
    if (!entry.dir) link.download = entry.name;
    const cell = dc.element('td');
    cell.append(link);
    return cell;
  }

  function row(path, entry) {
    const tr = dc.element('tr');
    tr.append(nameCell(path, entry), dc.element('td', entry.dir ? '' : entry.size, 'number'),
      dc.element('td', dc.time(entry.time)));
    return tr;
  }

  function upRow(path) {
    const parent = path.includes('/') ? path.slice(0, path.lastIndexOf('/')) : '';
    const link = dc.element('a', '../');
    link.href = '#' + encodeURIComponent(parent);
    const tr = dc.element('tr');
    const cell = dc.element('td');
    cell.append(link);
    tr.append(cell);
    return tr;
  }

  async function show() {
    const path = currentPath();
    document.getElementById('where').textContent = '/' + path;
    const refused = document.getElementById('refused');
    const body = document.querySelector('#entries tbody');
    refused.textContent = '';
    try {
      await dc.ready;
      const listing = await dc.json('/api/files?path=' + encodeURIComponent(path));
      const rows = listing.entries.map((entry) => row(path, entry));
      if (path) rows.unshift(upRow(path));
      dc.replaceAll(body, rows);
      document.getElementById('more').textContent =
        listing.more ? listing.more + ' more entries not shown' : '';
    } catch (error) {
      dc.replaceAll(body, []);
      refused.textContent = error.message;
    }
  }

  window.addEventListener('hashchange', show);
  show();
})();
