// The overview: units, alarm and control unit, the two panes and the ports, every second.
'use strict';

(() => {
  let shownVersion = null;

  function showLines(id, lines) {
    const list = document.getElementById(id);
    dc.replaceAll(list, lines.map((line) => dc.element('li', line)));
    list.scrollTop = list.scrollHeight;
  }

  function showPorts(ports) {
    const body = document.querySelector('#ports tbody');
    dc.replaceAll(body, ports.map((port) => {
      const row = dc.element('tr');
      row.append(dc.element('td', port.name), dc.element('td', port.protocol),
        dc.element('td', port.port), dc.element('td', port.serving ? 'serving' : 'closed'));
      return row;
    }));
  }

  function show(overview) {
    const names = [...overview.units].sort();
    const seen = overview.lastSeen || {};
    dc.replaceAll(document.getElementById('units'), names.map((name) => dc.element('li',
      seen[name] ? name + '  (last message ' + dc.time(seen[name]) + ')' : name)));
    document.getElementById('count').textContent = overview.count;
    document.getElementById('alarm-unit').textContent = overview.alarmUnit;
    document.getElementById('control-unit').textContent = overview.controlUnit;
    document.getElementById('connections').textContent = overview.connections;
    showPorts(overview.ports);
    showLines('actions', overview.actions);
    showLines('commands', overview.commands);
  }

  // Per sensor its newest record; one silent longer than --stale-after is marked.
  dc.every(10000, async () => {
    const answer = await dc.json('/api/sensors');
    dc.replaceAll(document.querySelector('#newest tbody'), answer.sensors.map((newest) => {
      const row = dc.element('tr', null, newest.stale ? 'error' : '');
      row.append(dc.element('td', newest.unit), dc.element('td', newest.sensor),
        dc.element('td', dc.time(newest.time) + (newest.stale ? '  silent' : '')));
      return row;
    }));
  });

  dc.every(1000, async () => {
    const overview = await dc.json('/api/overview');
    if (overview.version === shownVersion) return;
    shownVersion = overview.version;
    show(overview);
  });
})();
