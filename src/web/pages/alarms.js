// The newest lines of each alarm file.
'use strict';

(() => {
  dc.every(2000, async () => {
    const files = (await dc.json('/api/alarms')).files;
    const section = document.getElementById('alarm-files');
    if (files.length === 0) {
      dc.replaceAll(section, [dc.element('p', 'No alarm file yet.')]);
      return;
    }
    dc.replaceAll(section, files.map((file) => {
      const block = dc.element('div', null, 'alarm-file');
      const list = dc.element('ol', null, 'lines');
      list.append(...file.lines.map((line) => dc.element('li', line)));
      block.append(dc.element('h2', file.name + '  (' + dc.time(file.time) + ')'), list);
      return block;
    }));
  });
})();
